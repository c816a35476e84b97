/* Sends a stream of ICMP datagrams that answer nobody's current request to one address: echo
 * replies and echo requests with a foreign identifier and any sequence number, and
 * destination-unreachable and time-exceeded messages quoting foreign echo requests, all from
 * a chosen source address (the IPv4 header is written here).
 * Usage: flooder SOURCE DESTINATION FOREIGN_IDENTIFIER SECONDS PACKETS_PER_SECOND */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static uint16_t Checksum(const uint8_t* ABytes, size_t ALength) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < ALength; i += 2) sum += (uint32_t)(ABytes[i] << 8 | ABytes[i + 1]);
    if (ALength & 1) sum += (uint32_t)ABytes[ALength - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

static void PutBe16(uint8_t* AAt, uint16_t AValue) {
    AAt[0] = (uint8_t)(AValue >> 8);
    AAt[1] = (uint8_t)AValue;
}

/* An IPv4 header of 20 bytes, protocol ICMP. */
static void IpHeader(uint8_t* AAt, uint16_t ATotal, uint32_t ASource, uint32_t ADestination) {
    memset(AAt, 0, 20);
    AAt[0] = 0x45;
    PutBe16(AAt + 2, ATotal);
    AAt[8] = 64;
    AAt[9] = 1;
    memcpy(AAt + 12, &ASource, 4);
    memcpy(AAt + 16, &ADestination, 4);
    PutBe16(AAt + 10, Checksum(AAt, 20));
}

static double Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr,
                "usage: %s SOURCE DESTINATION FOREIGN_IDENTIFIER SECONDS PACKETS_PER_SECOND\n",
                argv[0]);
        return 2;
    }
    uint32_t source = inet_addr(argv[1]);
    uint32_t destination = inet_addr(argv[2]);
    uint16_t identifier = (uint16_t)strtoul(argv[3], NULL, 0);
    double seconds = atof(argv[4]);
    double rate = atof(argv[5]);
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (fd < 0) {
        perror("socket");
        return 1;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;

    srand((unsigned)getpid());
    uint8_t packet[128];
    long sent = 0;
    double start = Now();
    while (Now() - start < seconds) {
        const int kind = (int)(sent % 4);
        const uint16_t sequence = (uint16_t)rand();
        size_t icmpLength;
        uint8_t* icmp = packet + 20;
        memset(icmp, 0, sizeof packet - 20);
        if (kind < 2) {
            /* Echo reply or request: identifier and sequence stored as the monitor stores
             * them, least-significant byte first, then 32 data bytes. */
            icmp[0] = kind == 0 ? 0 : 8;
            icmp[4] = (uint8_t)identifier;
            icmp[5] = (uint8_t)(identifier >> 8);
            icmp[6] = (uint8_t)sequence;
            icmp[7] = (uint8_t)(sequence >> 8);
            memset(icmp + 8, 'F', 44);
            icmpLength = 52;
        } else {
            /* Unreachable or time exceeded, quoting a foreign echo request sent by the
             * destination. */
            icmp[0] = kind == 2 ? 3 : 11;
            icmp[1] = kind == 2 ? 1 : 0;
            IpHeader(icmp + 8, 72, destination, source);
            uint8_t* quoted = icmp + 28;
            quoted[0] = 8;
            quoted[4] = (uint8_t)identifier;
            quoted[5] = (uint8_t)(identifier >> 8);
            quoted[6] = (uint8_t)sequence;
            quoted[7] = (uint8_t)(sequence >> 8);
            icmpLength = 36;
        }
        PutBe16(icmp + 2, Checksum(icmp, icmpLength));
        IpHeader(packet, (uint16_t)(20 + icmpLength), source, destination);
        if (sendto(fd, packet, 20 + icmpLength, 0, (struct sockaddr*)&to, sizeof to) > 0) ++sent;
        /* Keep to the rate: sleep whenever ahead of it. */
        double ahead = (double)sent / rate - (Now() - start);
        if (ahead > 0.001) {
            struct timespec pause = {0, (long)(ahead * 1e9)};
            nanosleep(&pause, NULL);
        }
    }
    fprintf(stderr, "flooder: %ld datagrams in %.1f s\n", sent, Now() - start);
    return 0;
}
