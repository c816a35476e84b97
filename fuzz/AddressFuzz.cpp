// Host texts as the send resolves them: whatever the dotted-quad check lets through unchanged
// must be an address the send can parse, the address text must parse back to its bytes, and
// nothing but EConvertError may come out of the parsing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/IdStackLinux.h"
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

// Name look-ups answer from a constant, so no resolver is ever asked.
class TNoResolverStack : public TIdStackLinux {
public:
    std::string SysHostAddressByName(const std::string&) override { return "192.0.2.1"; }
};

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
    TNoResolverStack stack;

    const bool dotted = stack.IsDottedQuad(text);
    TIdIn4Address address{};
    const bool parses = Parses(text, address);
    if (dotted && !parses) {
        Fail("a dotted quad the send cannot parse", text);
    }
    if (parses) {
        const std::string back = DottedAddressText(address);
        TIdIn4Address again{};
        if (!stack.IsDottedQuad(back) || !Parses(back, again) || again != address ||
            back != stack.AddressToText(address)) {
            Fail("an address text that does not parse back to its bytes", text);
        }
    }
    const std::string resolved = stack.ResolveAddress(text);
    if (!stack.IsDottedQuad(resolved)) {
        Fail("a resolved address that is not a dotted quad", text);
    }
    if (dotted && resolved != text && resolved != "127.0.0.1") {
        Fail("a dotted quad changed by resolving", text);
    }
    return 0;
}
