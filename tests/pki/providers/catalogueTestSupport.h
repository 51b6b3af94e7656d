// Shared by the provider-layer tests: the fake provider backend loaded from a fixture text, and the
// catalogue fixture, whose tests each start in a fresh root and start and end with an empty
// catalogue and the built-in providers.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/platform/crypt.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/registryTesting.h>
#include <vsk/utils/log.h>

#include <gtest/gtest.h>

#include "fakeProviders.h"
#include "testSupport.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace catalogue_test {

inline std::u16string U16(const Vsk::Utils::CWString& text) {
    return text.toU16();
}

// UTF-16 of a narrow test literal (narrow literals are code page 1251).
inline Vsk::Utils::CWString W(const char* text) {
    return Vsk::Utils::CWString(text, static_cast<size_t>(-1), 1251);
}

using VskTest::LogCapture;

// While alive, the provider stand-in answers from the fake backend described by `fixture` (the
// fixture format of fakeProviders.h), and the catalogue starts empty.
class FakeBackend {
public:
    explicit FakeBackend(const std::string& fixture) {
        VskTest::UseFakeProviders(fixture);
        Vsk::PKI::ClearCspAlgInfo();
    }
    ~FakeBackend() {
        VskTest::UseBuiltInProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }
    FakeBackend(const FakeBackend&) = delete;
    FakeBackend& operator=(const FakeBackend&) = delete;
};

// Polls `done` for up to `seconds`.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 10) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

class CatalogueFixture : public ::testing::Test {
protected:
    void SetUp() override {
        RegistryResetForTests();
        useBuiltIn();
    }

    void TearDown() override {
        useBuiltIn();
        RegistryResetForTests();
    }

    // The providers of the fixture text replace the built-in ones; the catalogue starts empty.
    void useFake(const std::string& fixture) {
        VskTest::UseFakeProviders(fixture);
        Vsk::PKI::ClearCspAlgInfo();
    }

    void useBuiltIn() {
        VskTest::UseBuiltInProviders();
        Vsk::PKI::ClearCspAlgInfo();
    }

    // The catalogue's descriptions by name, filling it first.
    Vsk::Utils::CRefPtr<Vsk::PKI::CSPInfo> provider(const char* name) {
        Vsk::PKI::InitCspAlgInfo();
        for (const auto& p : Vsk::PKI::GetCatalogueProviders())
            if (p->m_name == W(name)) return p;
        return {};
    }

    std::vector<std::u16string> providerNames() {
        std::vector<std::u16string> names;
        for (const auto& p : Vsk::PKI::GetCatalogueProviders()) names.push_back(U16(p->m_name));
        return names;
    }

    const std::string& root() const { return m_root.path(); }

private:
    VskTest::TestRoot m_root;
};

}  // namespace catalogue_test
