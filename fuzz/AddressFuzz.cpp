// Host texts as the send resolves them: whatever the dotted-quad check lets through unchanged
// must be parsed to the bytes it spells, the address text must parse back to its bytes, only
// what is no dotted quad goes to the name look-up (the fake stack's, which knows no name), and
// nothing but EConvertError may come out of the parsing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/IdException.h"
#include "net/IdStackLinux.h"
#include "tests/support/FakeStack.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

[[noreturn]] void Fail(const char* AWhat, const std::string& AText) {
    std::fprintf(stderr, "address text: %s:", AWhat);
    for (const char c : AText) {
        std::fprintf(stderr, " %02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

bool Parses(const std::string& AText, TIdIn4Address& AAddress) {
    try {
        DottedTextToAddress(AText, AAddress);
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

}  // namespace
}  // namespace tarvex

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    using namespace tarvex;
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    test::FakeScript script;
    test::FakeStack stack(script);

    const bool dotted = stack.IsDottedQuad(text);
    TIdIn4Address address{};
    const bool parses = Parses(text, address);
    if (dotted && !parses) {
        Fail("a dotted quad the send cannot parse", text);
    }
    if (dotted && stack.ResolveAddress(text) != address) {
        Fail("a dotted quad sent elsewhere than it spells", text);
    }
    if (parses) {
        const std::string back = DottedAddressText(address);
        TIdIn4Address again{};
        if (!stack.IsDottedQuad(back) || !Parses(back, again) || again != address ||
            back != stack.AddressToText(address)) {
            Fail("an address text that does not parse back to its bytes", text);
        }
    }
    try {
        stack.ResolveAddress(text);
    } catch (const EIdSocketError&) {
        if (dotted) {
            Fail("a dotted quad sent to the name look-up", text);
        }
    }
    return 0;
}
