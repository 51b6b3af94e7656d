// A ZIP archive built from entries held in memory, written to a temporary file and moved into place
// in one step when saved, so a half-written archive never appears under its final name.
#pragma once

#include <vsk/utils/dataBlob.h>
#include <vsk/utils/file.h>
#include <vsk/utils/string.h>

namespace Vsk::Utils {

class CZip {
public:
    class CImpl : public CRefMan {
    public:
        CImpl();
        ~CImpl() override;

        void open();
        void add(const CDataBlob& data, const WCHAR* name);
        void save(const WCHAR* path, bool replace);

        CTempFile m_tempFile;
        HANDLE m_file = nullptr;
        void* m_zip = nullptr;
    };

    CZip();
    // One entry named `name` ("\" becomes "/") holding the bytes of `data`; the first call creates the
    // temporary file and the archive.
    void Add(const CDataBlob& data, const WCHAR* name);
    // Closes the archive and moves it to `path`; without `replace` an existing file is not replaced.
    void Save(const WCHAR* path, bool replace);

private:
    CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

// The process-wide code page of entry names; null when there is no common-information record.
int* GetZipEncodingPtr();

}  // namespace Vsk::InternalUtils
