// One datagram with the time the kernel stamped on its arrival (SO_TIMESTAMPNS on the socket),
// so that figures leave out the reading program's own wake-up delay.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

struct StampedDatagram {
  std::int64_t arrivalNs;  // CLOCK_REALTIME; the time of reading when the kernel gave no stamp
  std::size_t size;
};

inline std::optional<StampedDatagram> receiveStamped(int fd, std::span<std::uint8_t> buffer,
                                                     int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
  char control[256];
  iovec iov{buffer.data(), buffer.size()};
  msghdr m{};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t n = ::recvmsg(fd, &m, 0);
  if (n < 0) return std::nullopt;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  StampedDatagram datagram{std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec,
                           static_cast<std::size_t>(n)};
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
      datagram.arrivalNs = std::int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
  }
  return datagram;
}
