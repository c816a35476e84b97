#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "component/IdComponent.h"
#include "icmp/IdIcmpClient.h"
#include "icmp/IdRawHeaders.h"
#include "net/IdStackLinux.h"
#include "tests/support/FakeStack.h"
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

// The tests' fake stack, scripted so that every wait finds the request just sent come back as
// an echo reply, as the loopback interface does: what a whole exchange costs above the system
// calls. The logs are emptied at each wait so they do not grow with the run.
void BenchPingHostWithoutSystemCalls(benchmark::State& AState) {
    test::FakeStackScope fake;
    test::FakeScript& script = fake.Script();
    script.OnSelect = [&script](std::int32_t) {
        std::vector<std::uint8_t> reply(20, 0);
        reply[0] = 0x45;
        reply[8] = 64;
        reply[12] = 10;
        reply[15] = 1;
        reply.insert(reply.end(), script.Sent.back().begin(), script.Sent.back().end());
        reply[20] = IcmpEchoReply;
        script.Receives.push_back(test::FakeReceive::Of(std::move(reply), "10.0.0.1"));
        script.Calls.clear();
        script.Sent.clear();
    };
    {
        TIdIcmpClient client(nullptr);
        client.SetHost("10.0.0.1");
        client.SetReceiveTimeout(500);
        for (auto _ : AState) {
            client.PingHost();
            benchmark::DoNotOptimize(client.LastReply().RoundTripMs);
        }
        if (client.LastReply().Outcome != TEchoOutcome::eoReplied) {
            AState.SkipWithError("the scripted echo was not accepted");
        }
    }
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
