// The time-stamp token a signer carries in its unsigned attribute id-aa-timeStampToken: loaded and
// checked through the time-stamp client library (does the stamp cover the signer's signature value,
// is its own signature valid, optionally is the authority's chain valid), and its time. No stamp is
// ever requested.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>

namespace Vsk::PKI {

class CStampVerifySettings;

class CTimeStamp {
public:
    // Private to the library.
    class CImpl;

    // true: a fresh implementation, which loads the client library (a missing library or entry point
    // raises the loader's error); false: an empty handle.
    explicit CTimeStamp(bool create = false);
    CTimeStamp(const CTimeStamp& other);
    CTimeStamp(CTimeStamp&& other) noexcept;
    CTimeStamp& operator=(const CTimeStamp& other);
    CTimeStamp& operator=(CTimeStamp&& other) noexcept;
    ~CTimeStamp();

    // Replaces the implementation by a fresh one (the old one released); true when the handle then
    // holds one. Raises what making the implementation raises.
    bool create();

    // Loads the token (120101; the stamp is cleared before the error is raised).
    void Import(const Vsk::Utils::CDataBlob& token);
    // Adds data the stamp must cover (121101; the stamp is cleared before the error is raised).
    void AddData(const Vsk::Utils::CDataBlob& data);
    // 0 valid; 201 the stamp does not cover the data added; 203 no authority certificate; 202 the
    // stamp's signature is wrong; with certificate check mode 2 the status of the authority's chain.
    // 120002 without settings, 120001 without a token, 120701 when the library fails.
    DWORD Verify(const CStampVerifySettings* settings);
    // True for an empty handle or a stamp without a token.
    bool isEmpty() const;
    // Clears the stamp (nothing for an empty handle).
    void release();
    // The stamp's time; every failure is swallowed, leaving `time` as it was.
    void get_Time(SYSTEMTIME* time) const;
    // The stamp's time as FILETIME; zero when there is none.
    void get_FileTime(FILETIME* time) const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
