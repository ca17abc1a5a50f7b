#include "server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "agent_codes.h"
#include "dispatcher.h"
#include "file_store.h"
#include "hk_platform.h"
#include "log.h"
#include "session.h"

namespace hkagent {

struct Server::SessionThreadArg {
   Server *server;
   std::shared_ptr<Session> session;
};

Server::Server(AgentRuntime &runtime) : m_runtime(runtime) {}

Server::~Server() {
   stop();
   if (m_pushThread.joinable())
      m_pushThread.join();
}

bool Server::start(std::string *error) {
   std::shared_ptr<const AgentConfig> config = m_runtime.config();
   if (config->secret.empty() && !config->allowNoAuthentication) {
      *error =
          "no Secret configured: set one, or set AllowNoAuthentication = yes to serve every "
          "client that can connect";
      return false;
   }
   if (!config->secret.empty() && config->secret.size() < kMinSecretLength &&
       !config->allowShortSecret) {
      *error = "Secret shorter than " + std::to_string(kMinSecretLength) +
               " characters: set a longer one (openssl rand -base64 24), or AllowShortSecret = "
               "yes to keep it";
      return false;
   }
   if (config->secret.empty())
      HKLOG_WARN(
          "AUTHENTICATION IS OFF (AllowNoAuthentication = yes): anyone who can connect to %s "
          "may use this agent",
          config->listenAddress.c_str());
   if (!config->fileStore.empty()) {
      size_t removed = RemoveLeftoverUploads(config->fileStore);
      if (removed > 0)
         HKLOG_INFO("removed %zu unfinished uploads from %s", removed, config->fileStore.c_str());
   }
   struct sockaddr_in sa = {};
   sa.sin_family = AF_INET;
   sa.sin_port = htons(config->port);
   if (inet_pton(AF_INET, config->listenAddress.c_str(), &sa.sin_addr) != 1) {
      *error = "bad listen address " + config->listenAddress;
      return false;
   }
   m_listener.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
   if (!m_listener.valid()) {
      *error = std::string("socket: ") + strerror(errno);
      return false;
   }
   int one = 1;
   setsockopt(m_listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
   if (bind(m_listener.get(), (struct sockaddr *)&sa, sizeof(sa)) != 0 ||
       listen(m_listener.get(), 1024) != 0) {
      *error = "cannot listen on " + config->listenAddress + ":" + std::to_string(config->port) +
               ": " + strerror(errno);
      return false;
   }
   socklen_t length = sizeof(sa);
   getsockname(m_listener.get(), (struct sockaddr *)&sa, &length);
   m_port = ntohs(sa.sin_port);
   m_runtime.setListenEndpoint({ntohl(sa.sin_addr.s_addr), m_port});
   int pipeFds[2];
   if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
      *error = std::string("pipe: ") + strerror(errno);
      return false;
   }
   m_wakeRead.reset(pipeFds[0]);
   m_wakeWrite.reset(pipeFds[1]);
   m_reserveFd.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
   m_runtime.setTrapSink(this);
   m_pushThread = std::thread([this] { pushLoop(); });
   return true;
}

void Server::stop() {
   if (m_stopping.exchange(true))
      return;
   m_handshakeWatch.stop();
   if (m_wakeWrite.valid()) {
      char byte = 1;
      ssize_t ignored = write(m_wakeWrite.get(), &byte, 1);
      (void)ignored;
   }
   { std::lock_guard<std::mutex> guard(m_pushLock); }
   m_pushWake.notify_all();
}

size_t Server::sessionCount() const {
   std::lock_guard<std::mutex> guard(m_lock);
   return m_sessions.size();
}

size_t Server::unauthenticatedCount() const {
   std::lock_guard<std::mutex> guard(m_lock);
   size_t count = 0;
   for (const auto &s : m_unauthenticated)
      count += s->established() ? 0 : 1;
   return count;
}

void *Server::SessionThread(void *raw) {
   Server *server;
   {
      std::unique_ptr<SessionThreadArg> arg(static_cast<SessionThreadArg *>(raw));
      server = arg->server;
      arg->session->run();
      server->endSession(arg->session);
   }
   // Last, once the session is gone: whoever joins this thread waits only
   // for its exit.
   server->threadFinished(pthread_self());
   return nullptr;
}

void Server::threadFinished(pthread_t thread) {
   std::lock_guard<std::mutex> guard(m_lock);
   m_liveThreads--;
   m_finished.push_back(thread);
   m_sessionsChanged.notify_all();
}

void Server::joinFinished() {
   std::vector<pthread_t> finished;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      finished.swap(m_finished);
   }
   for (pthread_t thread : finished)
      pthread_join(thread, nullptr);
}

void Server::endSession(const std::shared_ptr<Session> &session) {
   std::lock_guard<std::mutex> guard(m_lock);
   if (m_sessions.erase(session) > 0) {
      auto it = m_perAddress.find(session->peerAddress());
      if (it != m_perAddress.end() && --it->second == 0)
         m_perAddress.erase(it);
   }
   m_unauthenticated.remove(session);
   m_evicted.erase(session);
   m_sessionsChanged.notify_all();
}

void Server::pruneUnauthenticated() {
   m_unauthenticated.remove_if([](const std::shared_ptr<Session> &s) { return s->established(); });
}

std::shared_ptr<Session> Server::pickVictim() {
   // The address holding most loses its oldest: a flood from a few
   // addresses pays for itself, and a server that connects once, among
   // many holding several each, is never the one to go.
   pruneUnauthenticated();  // one that has just authenticated is safe
   std::map<uint32_t, uint32_t> held;
   uint32_t most = 0;
   for (const auto &s : m_unauthenticated)
      most = std::max(most, ++held[s->peerAddress()]);
   for (const auto &s : m_unauthenticated) {
      if (held[s->peerAddress()] == most)
         return s;
   }
   return nullptr;
}

void Server::evict(const std::shared_ptr<Session> &victim, const char *why) {
   HKLOG_PEER(false, LogLevel::Warning, "unauthenticated session with %s:%u ended: %s",
              Ipv4ToText(victim->peerAddress()).c_str(), victim->peerPort(), why);
   m_unauthenticated.remove(victim);
   m_evicted.insert(victim);
   victim->requestStop();
}

bool Server::admit(const std::shared_ptr<Session> &session, const AgentConfig &config) {
   uint32_t address = session->peerAddress();
   std::string peer = Ipv4ToText(address);
   std::lock_guard<std::mutex> guard(m_lock);
   pruneUnauthenticated();
   auto live = [this] { return m_sessions.size() - m_evicted.size(); };
   auto found = m_perAddress.find(address);
   uint32_t count = found == m_perAddress.end() ? 0 : found->second;
   if (count >= config.maxSessionsPerAddress) {
      HKLOG_PEER(false, LogLevel::Warning,
                 "connection from %s refused: %u sessions from that address already", peer.c_str(),
                 count);
      return false;
   }
   // Without a secret there is nothing to prove: every client is as
   // trusted as the next, and none waits to authenticate.
   bool waits = !config.secret.empty();
   uint32_t waiting = 0;
   for (const auto &s : m_unauthenticated)
      waiting += s->peerAddress() == address ? 1 : 0;
   if (waits && waiting >= config.maxUnauthenticatedPerAddress) {
      HKLOG_PEER(false, LogLevel::Warning,
                 "connection from %s refused: %u unauthenticated sessions from that address "
                 "already",
                 peer.c_str(), waiting);
      return false;
   }
   // Trusted sessions never go: past MaxSessions with none unauthenticated
   // the newcomer is refused.
   while (live() >= config.maxSessions) {
      std::shared_ptr<Session> victim = pickVictim();
      if (!victim) {
         HKLOG_PEER(false, LogLevel::Warning, "connection from %s refused: %u sessions already",
                    peer.c_str(), config.maxSessions);
         return false;
      }
      evict(victim, "room made for a new client (MaxSessions)");
   }
   while (waits && m_unauthenticated.size() >= config.maxUnauthenticatedSessions) {
      std::shared_ptr<Session> victim = pickVictim();
      if (!victim)
         break;
      evict(victim, "room made for a new client (MaxUnauthenticatedSessions)");
   }
   m_perAddress[address]++;
   m_sessions.insert(session);
   if (waits)
      m_unauthenticated.push_back(session);
   return true;
}

void Server::acceptOne() {
   struct sockaddr_in peer = {};
   socklen_t length = sizeof(peer);
   int fd = accept4(m_listener.get(), (struct sockaddr *)&peer, &length, SOCK_CLOEXEC);
   if (fd < 0) {
      if ((errno == EMFILE || errno == ENFILE) && m_reserveFd.valid()) {
         // Out of descriptors: the pending connection would keep the
         // listener readable and poll() spinning. The reserve descriptor
         // makes room to take it and close it at once.
         HKLOG_WARN("accept: %s; connection dropped", strerror(errno));
         m_reserveFd.reset();
         int dropped = accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
         if (dropped >= 0)
            close(dropped);
         m_reserveFd.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
      }
      return;
   }
   uint32_t address = ntohl(peer.sin_addr.s_addr);
   uint16_t port = ntohs(peer.sin_port);
   int one = 1;
   setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
   std::shared_ptr<const AgentConfig> config = m_runtime.config();
   auto session = std::make_shared<Session>(fd, m_runtime, address, port, config->sendTimeoutMs);
   if (!admit(session, *config))
      return;  // the session's destructor closes the socket
   m_handshakeWatch.watch(session, GetMonotonicMs() + config->authTimeoutMs);
   joinFinished();
   pthread_attr_t attr;
   pthread_attr_init(&attr);
   pthread_attr_setstacksize(&attr, kSessionStackSize);
   auto *arg = new SessionThreadArg{this, session};
   {
      std::lock_guard<std::mutex> guard(m_lock);
      m_liveThreads++;
   }
   pthread_t thread;
   int rc = pthread_create(&thread, &attr, &Server::SessionThread, arg);
   pthread_attr_destroy(&attr);
   if (rc != 0) {
      HKLOG_WARN("no thread for a session with %s: %s", Ipv4ToText(address).c_str(), strerror(rc));
      delete arg;
      {
         std::lock_guard<std::mutex> guard(m_lock);
         m_liveThreads--;
      }
      endSession(session);
   }
}

void Server::run(uint32_t waitMs) {
   while (!m_stopping.load()) {
      struct pollfd fds[2] = {{m_listener.get(), POLLIN, 0}, {m_wakeRead.get(), POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n < 0) {
         if (errno == EINTR)
            continue;
         HKLOG_ERROR("poll: %s", strerror(errno));
         break;
      }
      if (fds[1].revents != 0)
         break;
      if (fds[0].revents & POLLIN)
         acceptOne();
   }
   m_listener.reset();

   std::vector<std::shared_ptr<Session>> sessions;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      sessions.assign(m_sessions.begin(), m_sessions.end());
   }
   for (const auto &s : sessions)
      s->requestStop();
   sessions.clear();
   std::unique_lock<std::mutex> lock(m_lock);
   if (!m_sessionsChanged.wait_for(lock, std::chrono::milliseconds(waitMs),
                                   [this] { return m_sessions.empty() && m_liveThreads == 0; }))
      HKLOG_WARN("%zu sessions still busy at shutdown", m_sessions.size());
   lock.unlock();
   // Threads still busy are left to the process's end; the others are
   // joined, so nothing of theirs is left half cleaned up.
   joinFinished();
}

void Server::sendTrap(uint32_t code, const std::string &text) {
   std::vector<std::shared_ptr<Session>> targets;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      for (const auto &s : m_sessions) {
         if (s->trapsEnabled())
            targets.push_back(s);
      }
   }
   CSCPMessage trap(HKCP_VERSION);
   trap.SetCode(CMD_TRAP);
   trap.SetVariable(VID_AGENT_EVENT_CODE, code);
   SetStringVar(&trap, VID_AGENT_EVENT_TEXT, text);
   trap.SetVariable(VID_AGENT_TIMESTAMP, (uint64_t)time(nullptr));
   for (const auto &s : targets)
      s->sendMessage(trap);
}

void Server::pushLoop() {
   auto last = std::chrono::steady_clock::now();
   while (!m_stopping.load()) {
      uint32_t interval = m_runtime.config()->pushIntervalSec;
      {
         // Wakes at least every second so a changed interval takes effect.
         std::unique_lock<std::mutex> lock(m_pushLock);
         m_pushWake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping.load(); });
      }
      FlushSuppressedLogs();
      if (m_stopping.load() || interval == 0)
         continue;
      auto now = std::chrono::steady_clock::now();
      if (now - last < std::chrono::seconds(interval))
         continue;
      last = now;
      std::vector<std::shared_ptr<Session>> targets;
      {
         std::lock_guard<std::mutex> guard(m_lock);
         for (const auto &s : m_sessions) {
            if (s->trapsEnabled())
               targets.push_back(s);
         }
      }
      if (targets.empty())
         continue;
      std::shared_ptr<const AgentConfig> config = m_runtime.config();
      CSCPMessage push(HKCP_VERSION);
      BuildDataPush(m_runtime, *config, &push);
      for (const auto &s : targets)
         s->sendMessage(push);
   }
}

}  // namespace hkagent
