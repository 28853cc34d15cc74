// Process-start events on Linux: the kernel's process connector, a netlink
// socket that reports every exec and fork. Most kernels let only a caller
// with CAP_NET_ADMIN listen; one in another PID namespace gets no answer of
// its own (the answers to others reach it too), and a kernel may lack the
// connector. In each case the hold polls for new processes instead.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "platform/linux/backend.h"

namespace plat {
namespace {

using namespace linux_backend;

const DWORD kAnswerMilliseconds = 1000;
// Where the event begins in a datagram: after the netlink and connector headers.
const std::size_t kEventOffset = NLMSG_LENGTH(sizeof(cn_msg));

int events = -1;
// One datagram at a time; the connector's are under a hundred bytes.
alignas(nlmsghdr) char datagram[1024];

// Our subscription's sequence and acknowledgement numbers. The kernel sends
// its answer to every listener; ours carries our acknowledgement number plus
// one (this kernel puts a sequence number of its own in the answer).
std::uint32_t token[2];

// Lets only execs, forks of new processes (not new threads) and the answers
// to subscriptions through, so that the exits, renames and new threads of a
// busy system never wake the hold.
int KeepOnlyStarts(int listener) {
    const std::uint32_t what = kEventOffset + offsetof(proc_event, what);
    const std::uint32_t pid = kEventOffset + offsetof(proc_event, event_data.fork.child_pid);
    const std::uint32_t tgid = kEventOffset + offsetof(proc_event, event_data.fork.child_tgid);
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, what),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXEC), 6, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_NONE), 5, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_FORK), 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, tgid),
        BPF_STMT(BPF_MISC | BPF_TAX, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, pid),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    return setsockopt(listener, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

int Send(int listener, proc_cn_mcast_op operation) {
    alignas(nlmsghdr) char request[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))];
    std::memset(request, 0, sizeof request);
    auto* header = reinterpret_cast<nlmsghdr*>(request);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id.idx = CN_IDX_PROC;
    message->id.val = CN_VAL_PROC;
    message->seq = token[0];
    message->ack = token[1];
    message->len = sizeof(proc_cn_mcast_op);
    std::memcpy(message->data, &operation, sizeof operation);
    return send(listener, request, header->nlmsg_len, 0) == static_cast<ssize_t>(header->nlmsg_len);
}

// The event in a datagram of got bytes, and its header in *message; 0 when
// it is not the connector's.
int ParseEvent(ssize_t got, proc_event* event, cn_msg* message) {
    if (got < static_cast<ssize_t>(kEventOffset + offsetof(proc_event, event_data) +
                                   sizeof(event->event_data.exec))) {
        return 0;
    }
    std::memcpy(message, datagram + NLMSG_LENGTH(0), sizeof *message);
    if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) return 0;
    std::memset(event, 0, sizeof *event);
    const std::size_t size = static_cast<std::size_t>(got) - kEventOffset;
    std::memcpy(event, datagram + kEventOffset, size < sizeof *event ? size : sizeof *event);
    return 1;
}

// Waits for the kernel's answer to our subscription; 0 when it refuses, says
// nothing within a second, or a stop comes first (it stays asked).
int Answered(int listener) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= kAnswerMilliseconds) return 0;
        if (WaitForStopOr(listener, kAnswerMilliseconds - spent) != kWaitReady) return 0;
        const ssize_t got = recv(listener, datagram, sizeof datagram, MSG_DONTWAIT);
        if (got < 0 && errno != EAGAIN && errno != EINTR && errno != ENOBUFS) return 0;
        proc_event event;
        cn_msg message;
        if (got > 0 && ParseEvent(got, &event, &message) &&
            event.what == proc_event::PROC_EVENT_NONE && message.ack == token[1] + 1) {
            return event.event_data.ack.err == 0;
        }
    }
}

void ChooseToken() {
    if (getrandom(token, sizeof token, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof token)) return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    token[0] = static_cast<std::uint32_t>(now.tv_sec);
    token[1] = static_cast<std::uint32_t>(now.tv_nsec) ^ static_cast<std::uint32_t>(getpid());
}

// The kernel counts listeners and builds an event for every start on the
// system while any is left: withdraw before closing, whatever the answer was.
void Close(int listener) {
    Send(listener, PROC_CN_MCAST_IGNORE);
    close(listener);
}

}  // namespace

BOOL StartProcessStartEvents() {
    if (events >= 0) return TRUE;
    const int listener = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
    if (listener < 0) return FALSE;
    sockaddr_nl address;
    std::memset(&address, 0, sizeof address);
    address.nl_family = AF_NETLINK;
    address.nl_groups = CN_IDX_PROC;
    // The filter only spares work: without it every event is read and skipped.
    KeepOnlyStarts(listener);
    ChooseToken();
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(listener);
        return FALSE;
    }
    if (!Send(listener, PROC_CN_MCAST_LISTEN) || !Answered(listener)) {
        Close(listener);
        return FALSE;
    }
    events = listener;
    return TRUE;
}

void EndProcessStartEvents() {
    if (events < 0) return;
    Close(events);
    events = -1;
}

DWORD WaitForStopOrProcessStart(DWORD milliseconds, DWORD* processId) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (events < 0)
            return WaitForStopRequest(milliseconds) ? HOLD_WAIT_STOP : HOLD_WAIT_TIMEOUT;
        const DWORD spent = GetTickCount() - start;
        const int seen = WaitForStopOr(events, spent < milliseconds ? milliseconds - spent : 0);
        if (seen == kWaitStopped) return HOLD_WAIT_STOP;
        if (seen == kWaitTimedOut) return HOLD_WAIT_TIMEOUT;
        const ssize_t got = recv(events, datagram, sizeof datagram, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            if (errno == ENOBUFS) {
                // The kernel drops every event until the queue has been read
                // empty, and all that is queued is older than the round that
                // the loss calls for: empty it, so that a start during that
                // round is heard.
                while (recv(events, datagram, sizeof datagram, MSG_DONTWAIT) > 0 ||
                       errno == EINTR) {
                }
                return HOLD_WAIT_LOST;
            }
            // The socket is of no more use: rounds alone from now on, and one now.
            EndProcessStartEvents();
            return HOLD_WAIT_LOST;
        }
        proc_event event;
        cn_msg message;
        if (!ParseEvent(got, &event, &message)) continue;
        pid_t started = 0;
        if (event.what == proc_event::PROC_EVENT_EXEC) started = event.event_data.exec.process_tgid;
        // A new process that runs on without exec, as a forked worker does.
        if (event.what == proc_event::PROC_EVENT_FORK &&
            event.event_data.fork.child_pid == event.event_data.fork.child_tgid) {
            started = event.event_data.fork.child_tgid;
        }
        if (started > 0) {
            *processId = static_cast<DWORD>(started);
            return HOLD_WAIT_STARTED;
        }
    }
}

}  // namespace plat
