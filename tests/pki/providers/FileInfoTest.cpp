#include "testSupport.h"

#include <vsk/platform/crypt.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include <vsk/pki/FileInfo.h>
#include <vsk/pki/Hash.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>

using namespace Vsk::Utils;
using namespace Vsk::PKI;

namespace {

using VskTest::Utf16;
using VskTest::Utf8;

CWString W(const std::string& text) {
    return CWString(Utf16(text).c_str());
}

std::string writeFile(const std::string& name, const std::string& bytes) {
    const std::string path = VskTest::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

const char* const Time = R"(\d{2}\.\d{2}\.\d{4} \d{2}:\d{2}:\d{2})";

// The whole line with the path and the time left as patterns.
bool matches(const std::string& line, const std::string& path, const std::string& rest) {
    return std::regex_match(
        line, std::regex(std::regex_replace(path, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + R"( \()" +
                         rest + R"(\))"));
}

}  // namespace

TEST(FileInfoTest, DescribesSizeTimeAndDigest) {
    struct Row {
        std::string name;
        std::string bytes;
        const char* rest;
    };
    const Row rows[] = {
        {"empty.bin", "", "0 bytes, {time}, md5:D41D8CD98F00B204E9800998ECF8427E"},
        {"abc.txt", "abc", "3 bytes, {time}, md5:900150983CD24FB0D6963F7D28E17F72"},
        {Utf8(u8"файл.txt"), "abc", "3 bytes, {time}, md5:900150983CD24FB0D6963F7D28E17F72"},
    };
    for (const Row& row : rows) {
        const std::string path = writeFile(row.name, row.bytes);
        const std::string line = Utf8(getFileInfoText(W(path)));
        const std::string rest = std::regex_replace(row.rest, std::regex(R"(\{time\})"), Time);
        EXPECT_TRUE(matches(line, path, rest)) << line;
    }
}

// A file larger than one read block is hashed block by block.
TEST(FileInfoTest, LargeFileIsHashedInBlocks) {
    const DWORD block = Vsk::InternalUtils::GetMaxFileBlockSize();
    std::string bytes(static_cast<size_t>(block) + 1000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + (i >> 12));
    const std::string path = writeFile("large.bin", bytes);
    CHash md5;
    md5.createWithNoChecks(CALG_MD5);
    const std::string digest = md5.calculate(CDataBlob(bytes.data(), bytes.size(), true)).toHex().toStd();
    const std::string line = Utf8(getFileInfoText(W(path)));
    EXPECT_TRUE(matches(line, path, std::to_string(bytes.size()) + " bytes, " + Time + ", md5:" + digest))
        << line;
}

TEST(FileInfoTest, MissingFileEndsWithTheErrorText) {
    const std::string path = VskTest::TempDir() + "/missing.bin";
    const std::string line = Utf8(getFileInfoText(W(path)));
    EXPECT_EQ(line.rfind(path + " ( ", 0), 0u) << line;
    EXPECT_NE(line.find(Utf8(u8"не открылся на чтение")), std::string::npos) << line;
    EXPECT_EQ(line.back(), ')');
}

TEST(FileInfoTest, EmptyPathDescribesTheProgram) {
    const CWString program = Vsk::InternalUtils::GetModuleFileNameW(nullptr);
    ASSERT_NE(program.getLength(), 0u);
    const std::string line = Utf8(getFileInfoText(CWString()));
    EXPECT_EQ(line.rfind(Utf8(program) + " (", 0), 0u) << line;
    EXPECT_NE(line.find(", md5:"), std::string::npos) << line;
}

TEST(ParsePublicKeyBlobTest, SplitsKeyAndParameters) {
    // A GOST R 34.10-2012 256 blob: header, "MAG1", 512 bits, the parameter OIDs, 64 key bytes.
    const BYTE header[] = {0x06, 0x20, 0x00, 0x00, 0x49, 0x2E, 0x00, 0x00,
                           0x4D, 0x41, 0x47, 0x31, 0x00, 0x02, 0x00, 0x00};
    const BYTE params[] = {0x30, 0x13, 0x06, 0x07, 0x2a, 0x85, 0x03, 0x02, 0x02, 0x24, 0x00,
                           0x06, 0x08, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02, 0x02};
    CDataBlob blob(header, sizeof header, true);
    blob.appendData(sizeof params, params);
    CDataBlob keyBytes(64);
    for (DWORD i = 0; i < 64; ++i) *keyBytes.at(i) = static_cast<BYTE>(i + 1);
    blob.appendBlob(keyBytes);

    CDataBlob key, parameters;
    ALG_ID algorithm = 0;
    parsePublicKeyBlob(blob, key, parameters, algorithm);
    EXPECT_EQ(algorithm, CALG_GR3410_12_256);
    EXPECT_EQ(key, keyBytes);
    EXPECT_EQ(parameters, CDataBlob(params, sizeof params, true));
    // Views of the blob's storage, not copies.
    EXPECT_EQ(key.getData(), blob.getData() + blob.getSize() - 64);
    EXPECT_EQ(parameters.getData(), blob.getData() + 16);
}

TEST(ParsePublicKeyBlobTest, SizesAndRefusals) {
    auto make = [](size_t size, DWORD magic, DWORD bits) {
        CDataBlob blob(size);
        blob.zeroFill();
        if (size >= 12) std::memcpy(blob.getData() + 8, &magic, 4);
        if (size >= 16) std::memcpy(blob.getData() + 12, &bits, 4);
        return blob;
    };
    struct Row {
        size_t size;
        DWORD magic;
        DWORD bits;
        bool ok;
        DWORD keyOffset;
        DWORD parameterLength;
    };
    const Row rows[] = {
        {100, GR3410_1_MAGIC, 512, true, 36, 20},  // key: the last 64 bytes; parameters 16 to 35
        {100, GR3410_1_MAGIC, 672, true, 16, 0},   // the key takes all that follows the header
        {16, GR3410_1_MAGIC, 0, true, 16, 0},      // neither key nor parameters
        {100, GR3410_1_MAGIC, 680, false, 0, 0},   // the key would overlap the header
        {100, GR3410_1_MAGIC, 8192, false, 0, 0},  // longer than the blob
        {100, RSA1_MAGIC, 512, false, 0, 0},       // an RSA blob
        {10, GR3410_1_MAGIC, 512, false, 0, 0},    // too short for the header
        {0, 0, 0, false, 0, 0},
    };
    for (const Row& row : rows) {
        const CDataBlob blob = make(row.size, row.magic, row.bits);
        CDataBlob key, parameters;
        ALG_ID algorithm = 0;
        if (!row.ok) {
            EXPECT_THROW(parsePublicKeyBlob(blob, key, parameters, algorithm), CError)
                << row.size << " " << row.bits;
            continue;
        }
        parsePublicKeyBlob(blob, key, parameters, algorithm);
        EXPECT_EQ(key.getSize(), row.bits / 8) << row.bits;
        if (key.getSize()) {
            EXPECT_EQ(key.getData(), blob.getData() + row.keyOffset);
        }
        EXPECT_EQ(parameters.getSize(), row.parameterLength) << row.bits;
    }
    const auto e = VskTest::Thrown([&] {
        CDataBlob key, parameters;
        ALG_ID algorithm = 0;
        parsePublicKeyBlob(make(100, RSA1_MAGIC, 512), key, parameters, algorithm);
    });
    EXPECT_EQ(e.getMessage().toU16(), u"Не поддерживаемый формат: не GR3410_1_MAGIC");
    EXPECT_EQ(e.getCode(), 0);
}
