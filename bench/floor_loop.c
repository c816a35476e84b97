/* The floor of one echo exchange: the system calls an exchange needs against a loopback address
 * (socket, the same socket filter, one recv that finds the queue empty, receive time
 * stamps, three time-to-live writes, sendto, one readiness wait, recvmsg, shutdown, close, two
 * console writes and the zero sleep), with no other work; the monitor makes a fourth
 * time-to-live write besides. Its CPU time per exchange is the least any
 * implementation of the exchange can cost. The lines go to standard output, where tarvex's
 * go, so that writing them costs the same.
 *
 * Usage: floor_loop COUNT [ADDRESS] [--no-sleep]   (needs the privilege to open raw sockets)
 * Prints "<count> exchanges, <cpu_us> us CPU, <per> us per exchange" on standard error. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

static uint16_t Checksum(const uint8_t* ABytes, size_t ALength) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < ALength; i += 2)
        sum += (uint32_t)ABytes[i] | ((uint32_t)ABytes[i + 1] << 8);
    if (ALength & 1) sum += ABytes[ALength - 1];
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return (uint16_t)~sum;
}

/* The monitor's filter: echo replies with the identifier, and errors quoting an ICMP echo
 * request with it. */
static struct sock_filter Filter[20];

static void MakeFilter(uint16_t AIdentifier) {
    uint32_t id = (uint32_t)(((AIdentifier & 0xFFU) << 8) | (AIdentifier >> 8));
    struct sock_filter program[20] = {
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 3, 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 11, 4, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 12, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 4, 2, 12),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 9, 10),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 17),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 8),
        BPF_STMT(BPF_MISC | BPF_TXA, 0),
        BPF_STMT(BPF_ALU | BPF_LSH | BPF_K, 1),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 8),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 8, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 12),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, id, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFU),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    memcpy(Filter, program, sizeof program);
}

static uint32_t Ticks(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000U + (uint64_t)now.tv_nsec / 1000000U);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s COUNT [ADDRESS] [--no-sleep]\n", argv[0]);
        return 2;
    }
    long count = strtol(argv[1], NULL, 10);
    const char* address = argc > 2 ? argv[2] : "127.0.0.1";
    int withSleep = !(argc > 3 && strcmp(argv[3], "--no-sleep") == 0);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(address);
    uint16_t identifier = (uint16_t)getpid();
    MakeFilter(identifier);
    struct sock_fprog filter = {20, Filter};
    uint16_t sequence = 3489;
    uint8_t request[52];
    static uint8_t reply[1024];
    sigset_t empty;
    sigemptyset(&empty);
    long answered = 0;
    for (long i = 0; i < count; ++i) {
        memset(request, 0, sizeof request);
        request[0] = 8;
        request[4] = (uint8_t)identifier;
        request[5] = (uint8_t)(identifier >> 8);
        request[6] = (uint8_t)sequence;
        request[7] = (uint8_t)(sequence >> 8);
        uint32_t sent = Ticks();
        memcpy(request + 8, &sent, 4);
        memset(request + 20, 'E', 32);
        uint16_t sum = Checksum(request, sizeof request);
        request[2] = (uint8_t)sum;
        request[3] = (uint8_t)(sum >> 8);

        int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (fd < 0) {
            perror("socket");
            return 1;
        }
        int ttl = 128;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
        char scrap;
        (void)!recv(fd, &scrap, 1, MSG_DONTWAIT);
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        sendto(fd, request, sizeof request, 0, (struct sockaddr*)&to, sizeof to);
        setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        struct timespec wait = {0, 500 * 1000000L};
        memset(reply, 0, sizeof reply);
        if (pselect(fd + 1, &readable, NULL, NULL, &wait, &empty) > 0) {
            setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
            struct iovec data = {reply, sizeof reply};
            char control[64];
            struct msghdr message;
            memset(&message, 0, sizeof message);
            message.msg_iov = &data;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd, &message, 0);
            size_t h = (size_t)(reply[0] & 0x0F) * 4;
            if (n >= (ssize_t)(h + 8) &&
                (uint16_t)(reply[h + 6] | (reply[h + 7] << 8)) == sequence) {
                ++answered;
            }
        }
        shutdown(fd, SHUT_RDWR);
        close(fd);
        (void)!write(STDOUT_FILENO, "Ping ", 5);
        (void)!write(STDOUT_FILENO, "answered! 127.0.0.1 [0ms]\n", 26);
        if (withSleep) {
            struct timespec zero = {0, 0};
            pselect(0, NULL, NULL, NULL, &zero, &empty);
        }
        ++sequence;
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    double cpu = (double)usage.ru_utime.tv_sec * 1e6 + (double)usage.ru_utime.tv_usec +
                 (double)usage.ru_stime.tv_sec * 1e6 + (double)usage.ru_stime.tv_usec;
    fprintf(stderr, "%ld exchanges, %ld answered, %.0f us CPU, %.2f us per exchange\n", count,
            answered, cpu, count > 0 ? cpu / (double)count : 0.0);
    return answered == count ? 0 : 1;
}
