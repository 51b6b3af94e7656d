// The key containers and readers of a provider, and the provider handle, over the fake provider
// backend.
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Csp.h>
#include <vsk/utils/progress.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "catalogueTestSupport.h"

#include <string>
#include <vector>

using namespace Vsk::PKI;
using catalogue_test::CatalogueFixture;
using catalogue_test::U16;
using catalogue_test::W;
using Vsk::Utils::CArray;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

namespace {

std::vector<std::u16string> Texts(const CArray<CWString>& list) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < list.getCount(); ++i) out.push_back(U16(list[i]));
    return out;
}

template <class F>
CError CaughtError(F&& call) {
    try {
        call();
    } catch (const CError& e) {
        return e;
    }
    return CError();
}

class KeysetTest : public CatalogueFixture {};

}  // namespace

TEST_F(KeysetTest, ContainersWithAndWithoutUniqueNamesAndTheFallBack) {
    useFake(R"(
[provider]
type = 80
name = Listing GOST
container = first \\.\REGISTRY\first
container = second \\.\DISK\second
machine_container = shared \\.\REGISTRY\shared
[provider]
type = 81
name = Plain GOST
unique_refused = yes
container = only
[provider]
type = 75
name = Empty GOST
)");
    struct Row {
        const char* provider;
        bool machine;
        bool askUnique;
        std::vector<std::u16string> names;
        std::vector<std::u16string> unique;
    };
    const Row rows[] = {
        {"Listing GOST",
         false,
         true,
         {u"first", u"second"},
         {u"\\\\.\\REGISTRY\\first", u"\\\\.\\DISK\\second"}},
        {"Listing GOST", false, false, {u"first", u"second"}, {}},
        {"Listing GOST", true, true, {u"shared"}, {u"\\\\.\\REGISTRY\\shared"}},
        // CRYPT_UNIQUE refused: the listing goes on without it.
        {"Plain GOST", false, true, {u"only"}, {}},
        {"Empty GOST", false, true, {}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.provider) + (r.machine ? " machine" : " user") +
                     (r.askUnique ? " unique" : ""));
        auto info = provider(r.provider);
        ASSERT_TRUE(info);
        CArray<CWString> names, unique;
        CError error;
        // A failure left over from earlier calls is no failure of this listing.
        SetLastError(ERROR_ACCESS_DENIED);
        errno = EACCES;
        info->GetKeyContainers(names, &error, r.machine, r.askUnique ? &unique : nullptr, nullptr);
        EXPECT_EQ(Texts(names), r.names);
        EXPECT_EQ(Texts(unique), r.unique);
        EXPECT_TRUE(error.isEmpty()) << U16(error.getText()).size();
    }
}

TEST_F(KeysetTest, ProgressRangeDoublesAndAcquireFailureIsReported) {
    std::string fixture = "[provider]\ntype = 80\nname = Many GOST\n";
    for (int i = 0; i < 12; ++i) fixture += "container = c" + std::to_string(i) + "\n";
    fixture += "[provider]\ntype = 81\nname = Broken GOST\nacquire_error = 0x80090016\n";
    useFake(fixture);
    // Not in the catalogue (its description cannot be filled): described by hand.
    auto broken = Vsk::Utils::CRefPtr<CSPInfo>::create();
    broken->m_type = 81;
    broken->m_name = W("Broken GOST");

    VskTest::RecordingProgress progress;
    CArray<CWString> names;
    provider("Many GOST")->GetKeyContainers(names, nullptr, false, nullptr, &progress);
    EXPECT_EQ(names.getCount(), 12u);
    EXPECT_EQ(progress.ranges, (std::vector<uint32_t>{10, 20}));
    EXPECT_EQ(progress.getPos(), 12);

    CArray<CWString> none;
    CError error;
    broken->GetKeyContainers(none, &error, false, nullptr, nullptr);
    EXPECT_TRUE(none.isEmpty());
    EXPECT_EQ(U16(error.getMessage())
                  .rfind(U16(W("Получение контекста криптопровайдера, ") + broken->toString()), 0),
              0u);
    EXPECT_EQ(static_cast<DWORD>(error.getCode()), 0x80090016u);
}

TEST_F(KeysetTest, ReadersOfTheProvider) {
    auto info = provider("Listing GOST");
    useFake("[provider]\ntype = 80\nname = Readers GOST\n");
    info = provider("Readers GOST");
    ASSERT_TRUE(info);
    for (bool skip : {false, true}) {
        const CReaderArray readers = info->GetReaders(skip);
        ASSERT_EQ(readers.getCount(), 2u);
        EXPECT_EQ(U16(readers[0].toString()),
                  U16(W("nickName=Реестр, name=REGISTRY, media=REGISTRY, flags=0x0")));
        EXPECT_EQ(U16(readers[1].m_nickName), U16(W("Каталог на диске")));
        EXPECT_EQ(U16(readers[1].m_name), u"DISK");
        EXPECT_EQ(U16(readers[1].m_media), u"DISK");
        EXPECT_EQ(readers[1].m_flags, 0);
    }
    EXPECT_FALSE(info->isToken());
}

TEST_F(KeysetTest, ProviderListsInCatalogueOrderGostFirstReversed) {
    useFake(R"(
[provider]
type = 80
name = A
[provider]
type = 80
name = BB
algorithms = none
alg = 0x8004 160 SHA-1
[provider]
type = 81
name = C
[provider]
type = 81
name = DD
algorithms = none
alg = 0x8004 160 SHA-1
)");
    auto names = [](const CArray<CCsp>& list) {
        std::vector<std::u16string> out;
        for (size_t i = 0; i < list.getCount(); ++i) out.push_back(U16(list[i].get_Name()));
        return out;
    };
    CArray<CCsp> all;
    CCsp::GetAllCspArr(all);
    EXPECT_EQ(names(all), (std::vector<std::u16string>{u"C", u"A", u"BB", u"DD"}));
    CArray<CCsp> gost;
    CCsp::GetGostCspArr(gost);
    EXPECT_EQ(names(gost), (std::vector<std::u16string>{u"A", u"C"}));
    EXPECT_EQ(gost[1].get_Type(), 81u);
    EXPECT_EQ(gost[0].get_Token(), nullptr);
    EXPECT_FALSE(U16(gost[0].get_Version()).empty());

    useFake("[provider]\ntype = 1\nname = Only RSA\nalgorithms = none\nalg = 0x8004 160 SHA-1\n");
    CCsp::GetGostCspArr(gost);
    EXPECT_TRUE(gost.isEmpty());
}

TEST_F(KeysetTest, ProviderHandleWithoutDescriptionAndEmptyHandle) {
    CCsp bare(true);
    EXPECT_EQ(bare.get_Type(), 0u);
    EXPECT_TRUE(U16(bare.get_Name()).empty());
    EXPECT_TRUE(U16(bare.get_Version()).empty());
    EXPECT_EQ(bare.get_Token(), nullptr);
    EXPECT_EQ(bare.get_DefaultFlags(), 0u);
    CDataBlob data(size_t(8));
    EXPECT_EQ(CaughtError([&] { bare.GenRandom(data); }).getErrorNumber(), 190204u);

    CCsp empty(false);
    const std::u16string text = U16(CaughtError([&] { empty.get_Type(); }).getMessage());
    EXPECT_NE(text.find(u"Vsk::PKI::CCsp::CImpl"), std::u16string::npos);
    EXPECT_NE(text.find(u"не был создан"), std::u16string::npos);
    auto info = provider("Kestrovan RSA Cryptographic Provider");
    ASSERT_TRUE(info);
    empty.putCSPInfo(info.get());
    EXPECT_EQ(empty.get_Type(), info->m_type);
}

TEST_F(KeysetTest, GenRandomFillsEveryByteAtItsSize) {
    auto info = provider("Kestrovan RSA Cryptographic Provider");
    ASSERT_TRUE(info);
    CCsp csp(true);
    csp.putCSPInfo(info.get());
    for (size_t size : {size_t(0), size_t(1), size_t(64), size_t(4096)}) {
        CDataBlob data(size);
        if (size) data.zeroFill();
        EXPECT_EQ(csp.GenRandom(data), 0);
        EXPECT_EQ(data.getSize(), size);
        if (size >= 64) {
            size_t zeros = 0;
            for (size_t i = 0; i < size; ++i) zeros += data.getData()[i] == 0;
            EXPECT_LT(zeros, size / 8);
        }
    }
}
