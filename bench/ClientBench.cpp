#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdStackLinux.h"
#include "util/IdGlobal.h"

namespace tarvex {
namespace {

// The request exactly as an exchange builds it, checksum included.
void BenchBuildEchoRequest(benchmark::State& AState) {
    TPacketArea area{};
    std::uint16_t sequence = 3489;
    for (auto _ : AState) {
        benchmark::DoNotOptimize(BuildEchoRequest(area, 0x1234, sequence++, 0x89ABCDEF, {}));
        benchmark::ClobberMemory();
    }
}

void BenchInternetChecksum(benchmark::State& AState) {
    TPacketArea area{};
    BuildEchoRequest(area, 0x1234, 3489, 0, {});
    for (auto _ : AState) {
        benchmark::DoNotOptimize(InternetChecksum(std::span<const std::uint8_t>(area.data(), 52)));
    }
}

// The reads that decide whether a received echo reply answers the request.
void BenchDecodeEchoReply(benchmark::State& AState) {
    TPacketArea area{};
    area[0] = 0x45;
    area[8] = 64;
    area[12] = 127;
    area[15] = 1;
    BuildEchoRequest(std::span<std::uint8_t, PacketAreaSize>(area), 0x1234, 3489, 0, {});
    // The request was built at the start; move it behind a 20-byte header as a reply.
    std::array<std::uint8_t, 52> request{};
    std::memcpy(request.data(), area.data(), request.size());
    area.fill(0);
    area[0] = 0x45;
    area[8] = 64;
    area[12] = 127;
    area[15] = 1;
    std::memcpy(area.data() + 20, request.data(), request.size());
    area[20] = IcmpEchoReply;
    for (auto _ : AState) {
        const std::size_t h = IpHeaderLength(area);
        const bool whole = HoldsIcmpHeader(72, h);
        const std::uint8_t type = IcmpType(area, h);
        benchmark::DoNotOptimize(whole);
        const bool echo = type == IcmpEchoReply;
        const std::span<const std::uint8_t> datagram(area.data(), 72);
        benchmark::DoNotOptimize(
            EchoFieldsAt(datagram, echo ? EchoFieldsOffset(h) : QuotedEchoFieldsOffset(h)));
        benchmark::DoNotOptimize(SourceAddressOf(datagram));
        benchmark::DoNotOptimize(IpTimeToLive(area));
    }
}

// A stack whose socket calls cost nothing: every receive hands back the request just sent as an
// echo reply, as the loopback interface does. What a whole exchange costs above the system calls.
class TEchoingStack : public TIdStackLinux {
public:
    TIdStackSocketHandle SysOpenSocket(std::int32_t, std::int32_t, std::int32_t) override {
        return 3;
    }
    std::int32_t SysSetOption(TIdStackSocketHandle, std::int32_t, std::int32_t, const void*,
                              std::int32_t) override {
        return 0;
    }
    std::int32_t SysSendTo(TIdStackSocketHandle, const void* ABuffer, std::int32_t ALength,
                           std::int32_t, const TIdIn4Address&, std::int32_t) override {
        FDatagram.fill(0);
        FDatagram[0] = 0x45;
        FDatagram[8] = 64;
        FDatagram[12] = 127;
        FDatagram[15] = 1;
        std::memcpy(FDatagram.data() + 20, ABuffer, static_cast<std::size_t>(ALength));
        FDatagram[20] = IcmpEchoReply;
        FLength = 20 + ALength;
        return ALength;
    }
    std::int32_t SysSelect(TIdHandleList* ARead, TIdHandleList*, TIdHandleList*,
                           std::int32_t) override {
        return ARead != nullptr ? static_cast<std::int32_t>(ARead->size()) : 0;
    }
    std::int32_t SysReceive(TIdStackSocketHandle, void* ABuffer, std::int32_t ALength,
                            std::int32_t) override {
        const std::int32_t length = std::min(ALength, FLength);
        std::memcpy(ABuffer, FDatagram.data(), static_cast<std::size_t>(length));
        return length;
    }
    std::int32_t SysReceiveQueued(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                  std::int32_t AFlags, std::int64_t& AQueuedUs) override {
        AQueuedUs = 0;
        return SysReceive(ASocket, ABuffer, ALength, AFlags);
    }
    std::int32_t SysReceiveFrom(TIdStackSocketHandle ASocket, void* ABuffer, std::int32_t ALength,
                                std::int32_t AFlags, std::string&, std::int32_t&) override {
        return SysReceive(ASocket, ABuffer, ALength, AFlags);
    }
    std::int32_t SysShutdown(TIdStackSocketHandle, std::int32_t) override { return 0; }
    std::int32_t SysClose(TIdStackSocketHandle) override { return 0; }

private:
    TPacketArea FDatagram{};
    std::int32_t FLength = 0;
};

std::unique_ptr<TIdStack> NewEchoingStack() { return std::make_unique<TEchoingStack>(); }

void BenchPingHostWithoutSystemCalls(benchmark::State& AState) {
    const TIdStackClass saved = StackClass;
    StackClass = &NewEchoingStack;
    {
        TIdIcmpClient client(nullptr);
        client.SetHost("127.0.0.1");
        client.SetReceiveTimeout(500);
        for (auto _ : AState) {
            client.PingHost();
            benchmark::DoNotOptimize(client.LastReply().RoundTripMs);
        }
        if (client.LastReply().Outcome != TEchoOutcome::eoReplied) {
            AState.SkipWithError("the scripted echo was not accepted");
        }
    }
    StackClass = saved;
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
    tarvex::IdGlobalStartUp();
    tarvex::IdStackLinuxStartUp();
    tarvex::IdComponentStartUp();
    benchmark::RegisterBenchmark("BuildEchoRequest", tarvex::BenchBuildEchoRequest);
    benchmark::RegisterBenchmark("InternetChecksum52", tarvex::BenchInternetChecksum);
    benchmark::RegisterBenchmark("DecodeEchoReply", tarvex::BenchDecodeEchoReply);
    benchmark::RegisterBenchmark("PingHostWithoutSystemCalls",
                                 tarvex::BenchPingHostWithoutSystemCalls);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
