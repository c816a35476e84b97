// Echo exchanges fed arbitrary datagrams of 0 to 1024 bytes (and some longer, which the receive
// cuts), through a socket stack whose socket calls are scripted and whose address handling is
// the real one. Each outcome is checked against a model of the decoding rules; the model also
// predicts every refusal. A disagreement, an escaped exception of another kind, a socket left
// open after the client is gone or any sanitizer report aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdException.h"
#include "net/IdStackConsts.h"
#include "net/IdStackLinux.h"
#include "util/IdGlobal.h"
#include "util/SysUtils.h"

namespace tarvex {
namespace {

// What the scripted socket calls do; shared by every stack instance.
struct TScript {
    std::deque<std::vector<std::uint8_t>> Datagrams;
    bool FailReceive = false;  // the receive after the last datagram fails (errno 104)
    std::vector<std::vector<std::uint8_t>> Sent;
    std::set<std::int32_t> Open;
    std::int32_t NextSocket = 3;
    std::int32_t LastError = 0;
};
TScript* Script = nullptr;

[[noreturn]] void Fail(const char* AWhat) {
    std::fprintf(stderr, "reply decoding: %s\n", AWhat);
    std::abort();
}

class TScriptedStack : public TIdStackLinux {
public:
    const char* ClassName() const noexcept override { return "TScriptedStack"; }

    TIdStackSocketHandle SysOpenSocket(std::int32_t, std::int32_t, std::int32_t) override {
        const std::int32_t socket = Script->NextSocket++;
        Script->Open.insert(socket);
        return socket;
    }
    std::int32_t SysSetOption(TIdStackSocketHandle ASocket, std::int32_t, std::int32_t, const void*,
                              std::int32_t) override {
        return Script->Open.count(ASocket) != 0 ? 0 : Refuse(9);
    }
    std::int32_t SysSendTo(TIdStackSocketHandle ASocket, const void* ABuffer, std::int32_t ALength,
                           std::int32_t, const std::string&, std::int32_t) override {
        if (Script->Open.count(ASocket) == 0) {
            return Refuse(9);
        }
        const auto* bytes = static_cast<const std::uint8_t*>(ABuffer);
        Script->Sent.emplace_back(bytes, bytes + ALength);
        return ALength;
    }
    std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList* AWrite, TIdHandleList* AError,
                           std::int32_t ATimeout) override {
        if (ATimeout < 0 && ATimeout != WaitForever) {
            return Refuse(22);  // as the system refuses a negative time-out
        }
        if (AWrite != nullptr) {
            AWrite->clear();
        }
        if (AError != nullptr) {
            AError->clear();
        }
        const bool ready = !Script->Datagrams.empty() || Script->FailReceive;
        if (!ready && ARead != nullptr) {
            ARead->clear();
        }
        return ready && ARead != nullptr ? static_cast<std::int32_t>(ARead->size()) : 0;
    }
    std::int32_t SysReceive(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                            std::int32_t) override {
        if (Script->Open.count(ASocket) == 0) {
            return Refuse(9);
        }
        if (Script->Datagrams.empty()) {
            Script->FailReceive = false;
            return Refuse(104);
        }
        const std::vector<std::uint8_t> datagram = std::move(Script->Datagrams.front());
        Script->Datagrams.pop_front();
        const std::size_t length =
            std::min(datagram.size(), static_cast<std::size_t>(std::max(ALength, 0)));
        if (length > 0) {
            std::memcpy(ABuffer, datagram.data(), length);
        }
        return static_cast<std::int32_t>(length);
    }
    std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                std::int32_t AFlags, std::string& AIP,
                                std::int32_t& APort) override {
        AIP = "127.0.0.1";
        APort = 0;
        return SysReceive(ASocket, ABuffer, ALength, AFlags);
    }
    std::int32_t SysShutdown(TIdStackSocketHandle ASocket, std::int32_t) override {
        return Script->Open.count(ASocket) != 0 ? 0 : Refuse(9);
    }
    std::int32_t SysClose(TIdStackSocketHandle ASocket) override {
        return Script->Open.erase(ASocket) != 0 ? 0 : Refuse(9);
    }
    std::int32_t SysLastError() override { return Script->LastError; }

private:
    static std::int32_t Refuse(std::int32_t AErrorNumber) {
        Script->LastError = AErrorNumber;
        return -1;
    }
};

std::unique_ptr<TIdStack> NewScriptedStack() { return std::make_unique<TScriptedStack>(); }

// What the model expects of one exchange.
struct TExpected {
    enum class TKind { Accepted, TimedOut, ShortDatagram, NonEcho, ReceiveFailed, WaitUsedUp };
    TKind Kind = TKind::TimedOut;
    TReplyStatus Status;
};

std::uint16_t Le16(const TPacketArea& AArea, std::size_t AAt) {
    return static_cast<std::uint16_t>(AArea[AAt] | (AArea[AAt + 1] << 8));
}

// The decoding rules, applied to the datagrams an exchange will read. AKeepsWaiting: the wait
// is long enough that a skipped datagram is followed by another receive.
TExpected Model(const std::deque<std::vector<std::uint8_t>>& ADatagrams, bool AFailReceive,
                std::uint16_t AIdentifier, std::uint16_t ASequence, bool AKeepsWaiting,
                bool AReceivesAtAll) {
    TExpected expected;
    using TKind = TExpected::TKind;
    if (!AReceivesAtAll) {
        return expected;
    }
    TPacketArea area{};
    for (const std::vector<std::uint8_t>& datagram : ADatagrams) {
        const std::size_t n = std::min(datagram.size(), PacketAreaSize);
        std::copy_n(datagram.begin(), n, area.begin());
        if (n == 0) {
            return expected;  // nothing read: taken as the end of the wait
        }
        const std::size_t h = (area[0] & 0x0FU) * 4U;
        if (h + 8 > n) {
            expected.Kind = TKind::ShortDatagram;
            return expected;
        }
        const std::uint8_t type = area[h];
        std::size_t fields = 0;
        TEchoOutcome outcome = TEchoOutcome::eoReplied;
        if (type == 0 || type == 8) {
            fields = h;
        } else if (type == 3 || type == 11) {
            fields = h + 8 + h;
            outcome = type == 3 ? TEchoOutcome::eoUnreachable : TEchoOutcome::eoTtlExpired;
        } else {
            expected.Kind = TKind::NonEcho;
            return expected;
        }
        if (Le16(area, fields + 6) == ASequence && Le16(area, fields + 4) == AIdentifier) {
            expected.Kind = TKind::Accepted;
            expected.Status.ByteCount = static_cast<std::int32_t>(n);
            expected.Status.SourceAddress =
                std::to_string(area[12]) + "." + std::to_string(area[13]) + "." +
                std::to_string(area[14]) + "." + std::to_string(area[15]);
            expected.Status.IcmpType = type;
            expected.Status.Sequence = ASequence;
            expected.Status.Ttl = area[8];
            expected.Status.Outcome = outcome;
            return expected;
        }
        if (!AKeepsWaiting) {
            expected.Kind = TKind::WaitUsedUp;
            return expected;
        }
    }
    if (AFailReceive) {
        expected.Kind = TKind::ReceiveFailed;
    }
    return expected;
}

bool SameStatus(const TReplyStatus& A, const TReplyStatus& B) {
    return A.ByteCount == B.ByteCount && A.SourceAddress == B.SourceAddress &&
           A.IcmpType == B.IcmpType && A.Sequence == B.Sequence && A.Ttl == B.Ttl &&
           A.Outcome == B.Outcome;
}

// Makes datagrams answer the request now and then, so the accepting paths are reached: the
// candidate identifier and sequence number are overwritten where the rules look for them.
void Aim(std::vector<std::uint8_t>& ADatagram, std::uint16_t AIdentifier, std::uint16_t ASequence) {
    if (ADatagram.empty()) {
        return;
    }
    const std::size_t h = (ADatagram[0] & 0x0FU) * 4U;
    if (h >= ADatagram.size()) {
        return;
    }
    const std::uint8_t type = ADatagram[h];
    const std::size_t fields = (type == 3 || type == 11) ? h + 8 + h : h;
    const std::uint8_t values[4] = {
        static_cast<std::uint8_t>(AIdentifier), static_cast<std::uint8_t>(AIdentifier >> 8),
        static_cast<std::uint8_t>(ASequence), static_cast<std::uint8_t>(ASequence >> 8)};
    for (std::size_t i = 0; i < 4; ++i) {
        if (fields + 4 + i < ADatagram.size()) {
            ADatagram[fields + 4 + i] = values[i];
        }
    }
}

}  // namespace
}  // namespace tarvex

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarvex::IdGlobalStartUp();
    tarvex::IdStackLinuxStartUp();
    tarvex::IdComponentStartUp();
    tarvex::StackClass = &tarvex::NewScriptedStack;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    using namespace tarvex;
    using TKind = TExpected::TKind;
    FuzzedDataProvider input(AData, ASize);
    TScript script;
    Script = &script;
    const std::uint16_t identifier = static_cast<std::uint16_t>(OwnProcessId() & 0xFFFF);
    {
        TIdIcmpClient client(nullptr);
        client.SetHost("127.0.0.1");
        const std::int32_t exchanges = input.ConsumeIntegralInRange<std::int32_t>(1, 3);
        for (std::int32_t exchange = 0; exchange < exchanges && input.remaining_bytes() > 0;
             ++exchange) {
            // Waits whose course does not depend on how fast the machine is.
            static constexpr std::int32_t Waits[] = {60000, 0, -1, WaitForever};
            const std::int32_t wait = Waits[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
            client.SetReceiveTimeout(wait);
            const std::uint16_t sequence = client.Sequence();
            const std::int32_t count = input.ConsumeIntegralInRange<std::int32_t>(0, 4);
            const std::uint8_t aimMask = input.ConsumeIntegral<std::uint8_t>();
            script.FailReceive = input.ConsumeBool();
            script.Datagrams.clear();
            for (std::int32_t i = 0; i < count; ++i) {
                const std::size_t length = input.ConsumeIntegralInRange<std::size_t>(0, 1100);
                std::vector<std::uint8_t> datagram = input.ConsumeBytes<std::uint8_t>(length);
                if ((aimMask >> i) & 1U) {
                    Aim(datagram, identifier, sequence);
                }
                script.Datagrams.push_back(std::move(datagram));
            }
            const TExpected expected = Model(script.Datagrams, script.FailReceive, identifier,
                                             sequence, wait > 0, wait >= 0 || wait == WaitForever);
            const TReplyStatus before = client.LastReply();
            const std::size_t sentBefore = script.Sent.size();
            TKind got = TKind::TimedOut;
            try {
                client.PingHost();
                const TReplyStatus& reply = client.LastReply();
                if (reply.Outcome == TEchoOutcome::eoError) {
                    Fail("eoError reached LastReply");
                }
                if (expected.Kind == TKind::Accepted) {
                    got = TKind::Accepted;
                    if (!SameStatus(reply, expected.Status)) {
                        Fail("accepted datagram recorded differently from the model");
                    }
                } else if (expected.Kind == TKind::WaitUsedUp) {
                    got = TKind::WaitUsedUp;
                    // The loop reports every outcome but eoReplied as lost; a skipped echo
                    // must not read as answered.
                    if (reply.Outcome == TEchoOutcome::eoReplied) {
                        Fail("a skipped datagram left the exchange reading as answered");
                    }
                } else {
                    got = TKind::TimedOut;
                    if (reply.Outcome != TEchoOutcome::eoTimedOut ||
                        reply.SourceAddress != "0.0.0.0" || reply.ByteCount != 0 ||
                        reply.IcmpType != 0 || reply.Ttl != 0 || reply.Sequence != sequence) {
                        Fail("time-out recorded differently from the model");
                    }
                }
                if (client.Sequence() != static_cast<std::uint16_t>(sequence + 1)) {
                    Fail("sequence number did not advance after a completed exchange");
                }
                if (!script.Open.empty()) {
                    Fail("socket left open after a completed exchange");
                }
            } catch (const EIdIcmpException& e) {
                if (e.Message() == "Not enough bytes received") {
                    got = TKind::ShortDatagram;
                } else if (e.Message() == "Non-echo type response received") {
                    got = TKind::NonEcho;
                } else {
                    Fail("EIdIcmpException with an unknown message");
                }
            } catch (const EIdSocketError&) {
                got = TKind::ReceiveFailed;
            }
            if (got != expected.Kind) {
                std::fprintf(stderr, "model %d, client %d\n", static_cast<int>(expected.Kind),
                             static_cast<int>(got));
                Fail("the exchange ended differently from the model");
            }
            if (script.Sent.size() != sentBefore + 1 || script.Sent.back().size() != 52 ||
                InternetChecksum(script.Sent.back()) != 0 ||
                LoadLe16(script.Sent.back(), IcmpSequenceOffset) != sequence) {
                Fail("the request sent is not a 52-byte echo request with a valid checksum");
            }
            if (got != TKind::Accepted && got != TKind::TimedOut && got != TKind::WaitUsedUp) {
                if (client.Sequence() != sequence || !SameStatus(client.LastReply(), before)) {
                    Fail("a failed exchange changed the sequence number or LastReply");
                }
            }
        }
    }
    if (!script.Open.empty()) {
        Fail("socket left open after the client was released");
    }
    Script = nullptr;
    return 0;
}
