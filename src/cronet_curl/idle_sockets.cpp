// Connection reuse: an idle HTTP/1.x connection on which the peer sent
// anything (an unsolicited response, a late body, a close) is taken out of
// reuse before a transfer can pick it, as browsers do. libcurl 7.88 judges a
// readable socket with data alive and would read those bytes as the response
// to the next request.
//
// The engine tracks the sockets libcurl opens. A connection becomes idle when
// a transfer leaves the multi handle and libcurl kept it (CURLINFO_ACTIVESOCKET
// is only valid then), and busy when a transfer sends a request on it (the
// pre-request callback names it by its addresses). Before each transfer is
// added, idle HTTP/1.x sockets are polled without waiting. HTTP/2 connections
// are left alone: servers send PING, SETTINGS or GOAWAY on them while idle,
// and libcurl reads those itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core.h"

namespace cronet_curl {
namespace {

std::string endpoint(const sockaddr_storage& a) {
  char ip[INET6_ADDRSTRLEN] = {0};
  int port = 0;
  if (a.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
    inet_ntop(AF_INET, &in->sin_addr, ip, sizeof ip);
    port = ntohs(in->sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
    inet_ntop(AF_INET6, &in6->sin6_addr, ip, sizeof ip);
    port = ntohs(in6->sin6_port);
  } else {
    return "";
  }
  return std::string(ip) + " " + std::to_string(port);
}

// "local-ip port peer-ip port"; empty while the socket is not connected.
std::string socket_key(curl_socket_t s) {
  sockaddr_storage local{}, peer{};
  socklen_t ll = sizeof local, pl = sizeof peer;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
      getpeername(s, reinterpret_cast<sockaddr*>(&peer), &pl) != 0)
    return "";
  std::string l = endpoint(local), p = endpoint(peer);
  return l.empty() || p.empty() ? "" : l + " " + p;
}

// Makes libcurl's own liveness check drop the connection. Shutting the socket
// down is not enough: bytes already waiting stay readable and libcurl would
// still judge it alive. So the descriptor (which libcurl owns and will close
// through close_socket_cb) is turned into a socket at end of file; the TCP
// connection itself is closed.
void disable(curl_socket_t s) {
  shutdown(s, SHUT_RDWR);
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
    close(pair[1]);
    if (dup3(pair[0], s, O_CLOEXEC) >= 0) {
      close(pair[0]);
      return;
    }
    close(pair[0]);
  }
  // Out of descriptors: drain what is waiting so the check sees end of file.
  char buf[4096];
  while (recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace

curl_socket_t EngineCore::open_socket_cb(void* engine, curlsocktype, curl_sockaddr* addr) {
  curl_socket_t s = socket(addr->family, addr->socktype | SOCK_CLOEXEC, addr->protocol);
  if (s != CURL_SOCKET_BAD) static_cast<EngineCore*>(engine)->sockets_[s] = Socket{};
  return s;
}

int EngineCore::close_socket_cb(void* engine, curl_socket_t s) {
  static_cast<EngineCore*>(engine)->sockets_.erase(s);
  return close(s);
}

int EngineCore::prereq_cb(void* request, char* peer_ip, char* local_ip, int peer_port,
                          int local_port) {
  auto* r = static_cast<RequestCore*>(request);
  r->engine_->socket_in_use(r, peer_ip, local_ip, peer_port, local_port);
  return CURL_PREREQFUNC_OK;
}

void EngineCore::socket_in_use(RequestCore* r, const char* peer_ip, const char* local_ip,
                               int peer_port, int local_port) {
  std::string key = std::string(local_ip) + " " + std::to_string(local_port) + " " + peer_ip + " " +
                    std::to_string(peer_port);
  for (auto& [fd, s] : sockets_) {
    if (s.key.empty()) s.key = socket_key(fd);
    if (s.key == key && s.use != Socket::kDropped) {
      s.use = Socket::kBusy;
      s.owner = r;
    }
  }
}

void EngineCore::socket_released(RequestCore* r, curl_socket_t kept, bool http1) {
  for (auto& [fd, s] : sockets_) {
    if (s.owner != r) continue;
    s.owner = nullptr;
    // Still busy with a transfer that took it over? Then that one owns it.
    if (s.use == Socket::kBusy) s.use = Socket::kUnknown;
  }
  if (kept == CURL_SOCKET_BAD) return;
  auto it = sockets_.find(kept);
  // Another transfer may already have picked it up (its pre-request callback
  // ran before this transfer's end was handled): then it is not idle.
  if (it == sockets_.end() || it->second.owner != nullptr || it->second.use == Socket::kDropped)
    return;
  it->second.use = Socket::kIdle;
  it->second.http1 = http1;
}

void EngineCore::drop_idle_with_unread_bytes() {
  std::vector<pollfd> fds;
  for (auto& [fd, s] : sockets_)
    if (s.use == Socket::kIdle && s.http1) fds.push_back(pollfd{fd, POLLIN, 0});
  if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return;
  for (const pollfd& p : fds) {
    if (p.revents == 0) continue;  // nothing waiting: reusable
    disable(p.fd);
    sockets_[p.fd].use = Socket::kDropped;
  }
}

}  // namespace cronet_curl
