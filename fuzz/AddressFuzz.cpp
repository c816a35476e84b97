// Host texts as the send resolves them: whatever the dotted-quad check lets through unchanged
// must be parsed to the bytes it spells, the address text must parse back to its bytes, only
// what is no dotted quad goes to the name look-up (the fake stack's, which knows no name), and
// nothing but EConvertError may come out of the parsing.
#include <cstdint>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "net/IdException.h"
#include "net/IdStackLinux.h"
#include "tests/support/FakeStack.h"
#include "util/SysUtils.h"

namespace {

bool Parses(const std::string& AText, tarvex::TIdIn4Address& AAddress) {
    try {
        tarvex::DottedTextToAddress(AText, AAddress);
        return true;
    } catch (const tarvex::EConvertError&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    using namespace tarvex;
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    test::FakeScript script;
    test::FakeStack stack(script);

    const bool dotted = stack.IsDottedQuad(text);
    TIdIn4Address address{};
    const bool parses = Parses(text, address);
    Check(!dotted || parses, "a dotted quad the send cannot parse");
    if (parses) {
        const std::string back = DottedAddressText(address);
        TIdIn4Address again{};
        Check(stack.IsDottedQuad(back) && Parses(back, again) && again == address &&
                  back == stack.AddressToText(address),
              "an address text that does not parse back to its bytes");
    }
    try {
        const TIdIn4Address resolved = stack.ResolveAddress(text);
        Check(!dotted || resolved == address, "a dotted quad sent elsewhere than it spells");
    } catch (const EIdSocketError&) {
        Check(!dotted, "a dotted quad sent to the name look-up");
    }
    return 0;
}
