// Binding WinHTTP in a program that lacks the HTTP area: "Winhttp.dll" is known but exports nothing,
// so the client's construction fails naming the first missing function; a function that appears
// later is bound on the next try, and the binding goes on to the next one missing.
#include <vsk/platform/module.h>
#include <vsk/utils/http.h>

#include <testSupport.h>

#include <gtest/gtest.h>

namespace {

BOOL crackNothing(LPCWSTR, DWORD, DWORD, URL_COMPONENTS*) {
    return FALSE;
}

TEST(HttpBinding, MissingFunctionIsNamedAndTheRestIsRetried) {
    const Vsk::Utils::CError missing = VskTest::Thrown([] { Vsk::InternalUtils::CHttp http; });
    EXPECT_EQ(missing.getMessage().toU16(),
              u"Функция \"WinHttpCrackUrl\" отсутствует в модуле \"Winhttp.dll\" !\r\n127: "
              u"Не найдена указанная процедура.")
        << VskTest::Utf8(missing.getMessage());
    EXPECT_EQ(missing.getCode(), static_cast<int32_t>(ERROR_PROC_NOT_FOUND));

    RegisterStandInModule(u"Winhttp.dll", {{"WinHttpCrackUrl", StandInAddress(&crackNothing)}});
    const Vsk::Utils::CError next = VskTest::Thrown([] { Vsk::InternalUtils::bindWinHttp(); });
    EXPECT_TRUE(next.getMessage().startsWith(
        Vsk::Utils::CWString(u"Функция \"WinHttpGetDefaultProxyConfiguration\" отсутствует")));
    EXPECT_EQ(Vsk::InternalUtils::WinHttp().crackUrl, &crackNothing) << "kept for the next try";
}

}  // namespace
