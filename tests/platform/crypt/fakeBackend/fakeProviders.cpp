#include "fakeProviders.h"

#include "cryptTestSeam.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace VskTest {

namespace {

using vsk::crypt::AlgorithmEntry;
using vsk::crypt::ProviderEntry;
using vsk::crypt::ProviderTable;

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t n = c < 0x80             ? 0
                   : (c & 0xE0) == 0xC0 ? 1
                   : (c & 0xF0) == 0xE0 ? 2
                   : (c & 0xF8) == 0xF0 ? 3
                                        : 9;
        if (n == 9 || i + n >= text.size()) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

std::u16string FromFixture(const std::string& text) {
    if (text.empty()) return {};
    const UINT cp = IsUtf8(text) ? CP_UTF8 : 1251;
    const int n = MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(std::max(n, 0)), u'\0');
    if (n > 0) MultiByteToWideChar(cp, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool ParseNumber(const std::string& text, DWORD& value) {
    const std::string t = Trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(t.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul) return false;
    value = static_cast<DWORD>(v);
    return true;
}

bool ParseYes(const std::string& text) {
    const std::string t = Trim(text);
    return t == "yes" || t == "1" || t == "true";
}

std::shared_ptr<ProviderTable> Parse(const std::string& fixture) {
    auto t = std::make_shared<ProviderTable>();
    struct Pending {
        std::shared_ptr<ProviderEntry> entry;
        std::optional<bool> machineDefault;
    };
    std::vector<Pending> providers;
    bool explicitTypes = false;
    std::istringstream in(fixture);
    std::string section, line;
    int lineNo = 0;
    auto refuse = [&](const std::string& why) {
        throw std::invalid_argument("fake provider fixture, line " + std::to_string(lineNo) + ": " + why);
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = line;
            if (section == "[provider]")
                providers.push_back({vsk::crypt::NewProvider(0, u""), std::nullopt});
            else if (section == "[types]")
                explicitTypes = true;
            else if (section != "[global]")
                refuse("unknown section " + section);
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) refuse("no '='");
        const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        std::istringstream words(value);
        if (section == "[global]") {
            DWORD index = 0, code = 0;
            std::string a, b;
            words >> a >> b;
            if (!ParseNumber(a, index) || !ParseNumber(b, code)) refuse("expected: index code");
            if (key == "enum_providers_error")
                t->enumProvidersError = {index, code};
            else if (key == "enum_types_error")
                t->enumTypesError = {index, code};
            else
                refuse("unknown key " + key);
            continue;
        }
        if (section == "[types]") {
            std::string a, rest;
            DWORD type = 0;
            words >> a;
            std::getline(words, rest);
            if (key != "type" || !ParseNumber(a, type)) refuse("expected: type = number name");
            t->types.push_back({type, FromFixture(Trim(rest))});
            continue;
        }
        if (section != "[provider]" || providers.empty()) refuse("line outside a section");
        ProviderEntry& p = *providers.back().entry;
        DWORD n = 0;
        if (key == "type" && ParseNumber(value, n)) {
            p.type = n;
            p.algorithms = vsk::crypt::BuiltInAlgorithms(n);
        } else if (key == "name") {
            p.name = FromFixture(value);
        } else if (key == "algorithms" && (value == "none" || value == "builtin")) {
            if (value == "none") p.algorithms.clear();
        } else if (key == "alg") {
            std::string id, bits, rest;
            words >> id >> bits;
            std::getline(words, rest);
            AlgorithmEntry a;
            if (!ParseNumber(id, a.id) || !ParseNumber(bits, a.bits)) refuse("expected: alg = id bits name");
            a.name = vsk::crypt::To1251(FromFixture(Trim(rest)));
            if (a.name.size() > 19) a.name.resize(19);
            p.algorithms.push_back(a);
        } else if (key == "version" && ParseNumber(value, n)) {
            p.version = n;
        } else if (key == "version_ex") {
            std::string a, b;
            words >> a >> b;
            if (a == "none")
                p.hasVersionEx = false;
            else if (!ParseNumber(a, p.versionBuild) || !ParseNumber(b, p.versionRevision))
                refuse("expected: version_ex = build revision");
        } else if (key == "machine_default") {
            providers.back().machineDefault = ParseYes(value);
        } else if (key == "user_default") {
            p.userDefault = ParseYes(value);
        } else if (key == "busy" && ParseNumber(value, n)) {
            p.inject.busyCalls->store(static_cast<int>(n));
        } else if (key == "acquire_delay_ms" && ParseNumber(value, n)) {
            p.inject.acquireDelayMs = n;
        } else if (key == "acquire_error" && ParseNumber(value, n)) {
            p.inject.acquireError = n;
        } else if (key == "enumalgs_error") {
            std::string code, after, count;
            words >> code >> after >> count;
            if (!ParseNumber(code, p.inject.enumAlgsError))
                refuse("expected: enumalgs_error = code [after n]");
            if (after == "after" && !ParseNumber(count, p.inject.enumAlgsErrorAfter))
                refuse("expected: enumalgs_error = code after n");
        } else if (key == "unique_refused") {
            p.inject.uniqueRefused = ParseYes(value);
        } else if (key == "keeps_containers") {
            p.keepsContainers = ParseYes(value);
        } else if (key == "refuse_hash" && ParseNumber(value, n)) {
            p.inject.refusedHashes.push_back(n);
        } else if (key == "container" || key == "machine_container") {
            std::string name, unique;
            words >> name >> unique;
            (key == "container" ? p.containers : p.machineContainers)
                .push_back({name, unique.empty() ? name : unique});
        } else {
            refuse("bad line: " + line);
        }
    }
    for (size_t i = 0; i < providers.size(); ++i) {
        auto& p = providers[i];
        const bool firstOfType =
            std::none_of(providers.begin(), providers.begin() + static_cast<ptrdiff_t>(i),
                         [&](const Pending& q) { return q.entry->type == p.entry->type; });
        p.entry->machineDefault = p.machineDefault.value_or(firstOfType);
        t->providers.push_back(p.entry);
    }
    if (!explicitTypes) {
        std::vector<DWORD> types;
        for (auto& p : t->providers) types.push_back(p->type);
        std::sort(types.begin(), types.end());
        types.erase(std::unique(types.begin(), types.end()), types.end());
        for (DWORD type : types) {
            const char16_t* name = vsk::crypt::TypeName(type);
            t->types.push_back({type, name ? name : u"Provider type " + FromFixture(std::to_string(type))});
        }
    }
    return t;
}

}  // namespace

void UseFakeProviders(const std::string& fixture) {
    vsk::crypt::InstallProviderTable(Parse(fixture));
}

void UseBuiltInProviders() {
    vsk::crypt::InstallProviderTable(nullptr);
}

}  // namespace VskTest
