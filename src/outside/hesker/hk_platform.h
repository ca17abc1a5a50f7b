// The platform seam: everything the libraries need from the operating system
// (sockets, locks, events, threads, clock, the 8-bit code page and wide
// formatting) goes through here, so the rest of the code is written once.
//
// Thread safety: every function is safe to call from any thread. The lock and
// event types are themselves the synchronisation primitives.
#ifndef HK_PLATFORM_H
#define HK_PLATFORM_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <atomic>
#include <condition_variable>
#include <mutex>

#ifdef _WIN32
// Winsock's own declarations serve on Windows: SOCKET, INVALID_SOCKET, the
// WSAE* numbers, WSAGetLastError, closesocket, INFINITE, sockaddr_in, htonl.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <fcntl.h>
// Every file the libraries open holds bytes, never text to translate, and
// no child process inherits it: the POSIX flag stands for both here.
#ifndef O_CLOEXEC
#define O_CLOEXEC (O_BINARY | O_NOINHERIT)
#endif
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "hesker_export.h"

#ifdef __clang__
#define HK_CAPABILITY(x) __attribute__((capability(x)))
#define HK_GUARDED_BY(x) __attribute__((guarded_by(x)))
#define HK_ACQUIRE(...) __attribute__((acquire_capability(__VA_ARGS__)))
#define HK_RELEASE(...) __attribute__((release_capability(__VA_ARGS__)))
#define HK_TRY_ACQUIRE(...) __attribute__((try_acquire_capability(__VA_ARGS__)))
#define HK_REQUIRES(...) __attribute__((requires_capability(__VA_ARGS__)))
#define HK_EXCLUDES(...) __attribute__((locks_excluded(__VA_ARGS__)))
#define HK_NO_THREAD_SAFETY_ANALYSIS __attribute__((no_thread_safety_analysis))
#else
#define HK_CAPABILITY(x)
#define HK_GUARDED_BY(x)
#define HK_ACQUIRE(...)
#define HK_RELEASE(...)
#define HK_TRY_ACQUIRE(...)
#define HK_REQUIRES(...)
#define HK_EXCLUDES(...)
#define HK_NO_THREAD_SAFETY_ANALYSIS
#endif

// ---------------------------------------------------------------- time
#ifndef _WIN32
static const uint32_t INFINITE = 0xFFFFFFFF;
#endif

// Milliseconds of a monotonic clock; only differences are meaningful.
HESKER_EXPORT uint64_t GetMonotonicMs();

// ---------------------------------------------------------------- sockets
#ifndef _WIN32
// A socket handle is 64 bits wide, as on Winsock; all bits set means "no
// socket".
typedef uint64_t SOCKET;
static const SOCKET INVALID_SOCKET = ~(SOCKET)0;

// Socket error numbers as the rest of the library tests them. Where an
// error has a Winsock number it is reported with it; others are errno values.
static const int WSAEWOULDBLOCK = 10035;
static const int WSAETIMEDOUT = 10060;
static const int WSAECONNRESET = 10054;
static const int WSAECONNABORTED = 10053;  // a connection given up before it was accepted
static const int WSAESHUTDOWN = 10058;     // the socket was shut down on this side

// The last socket error of the calling thread, set by the functions below.
HESKER_EXPORT int WSAGetLastError();
HESKER_EXPORT void WSASetLastError(int error);
HESKER_EXPORT void closesocket(SOCKET s);
#endif

// Sockets are created only through these (on Windows the first call starts
// Winsock). An IPv4 TCP or UDP socket, or INVALID_SOCKET (last error set).
HESKER_EXPORT SOCKET CreateTcpSocket();
HESKER_EXPORT SOCKET CreateUdpSocket();

// A TCP socket listening on 127.0.0.1 at *port (host order), or at an
// ephemeral port when *port is 0, which is then stored in *port; or
// INVALID_SOCKET (last error set).
HESKER_EXPORT SOCKET CreateLoopbackListener(uint16_t *port);
// The next connection on a listening socket, or INVALID_SOCKET (last error
// set).
HESKER_EXPORT SOCKET SocketAccept(SOCKET listener);

// Shuts the socket down in both directions and remembers that this side did
// it: a later receive on it then fails with WSAESHUTDOWN, as on Winsock,
// instead of reporting an orderly close by the peer.
HESKER_EXPORT void ShutdownSocket(SOCKET s);
// Switches blocking mode (the FIONBIO switch); 0 on success, -1 on failure.
HESKER_EXPORT int SetSocketNonBlocking(SOCKET s, bool nonBlocking);
// recv(2) that keeps the last socket error and honours ShutdownSocket:
// > 0 bytes, 0 orderly close by the peer, -1 error (WSAGetLastError).
HESKER_EXPORT int SocketRecv(SOCKET s, void *buffer, size_t size);
// Waits until the socket is readable: 1 readable, 0 time-out, -1 error.
HESKER_EXPORT int SocketWaitReadable(SOCKET s, uint32_t timeoutMs);
// Bounds every write to the socket: a SocketSendAll (one frame) that has
// not ended within timeoutMs fails with WSAETIMEDOUT instead of waiting for
// a peer that does not read (INFINITE: no bound, the default). 0 on
// success, -1 on failure.
HESKER_EXPORT int SetSocketSendTimeout(SOCKET s, uint32_t timeoutMs);
// Writes all bytes (waiting when the socket is non-blocking, at most the
// socket's send time-out in all); the count written, which is less than
// size only after an error or that time-out.
HESKER_EXPORT int64_t SocketSendAll(SOCKET s, const void *data, size_t size);
// Connects, waiting at most timeoutMs (INFINITE: as long as the system
// does); the socket is in blocking mode again afterwards. 0 on success, -1
// on failure (last error set; WSAETIMEDOUT when the time ran out).
HESKER_EXPORT int SocketConnect(SOCKET s, const struct sockaddr *address, socklen_t length,
                                uint32_t timeoutMs);
// One datagram to address: the bytes sent, or -1 (last error set).
HESKER_EXPORT int SocketSendTo(SOCKET s, const void *data, size_t size,
                               const struct sockaddr *address, socklen_t length);
// One waiting datagram, without blocking: its length (cut to size), or -1
// (last error set; WSAEWOULDBLOCK when none waits). A datagram refused by the
// other side's port is reported as WSAECONNRESET.
HESKER_EXPORT int SocketRecvFrom(SOCKET s, void *buffer, size_t size, struct sockaddr *from,
                                 socklen_t *fromLength);

// ---------------------------------------------------------------- locks
// A critical section that spins up to spinCount times on try_lock before it
// blocks. Re-entrant for its owner, as the platform's critical section is:
// a thread that holds it may enter it again (and leaves it as often).
// BasicLockable, so std::lock_guard works with it.
class HESKER_EXPORT HK_CAPABILITY("mutex") CriticalSection {
public:
#ifdef _WIN32
   explicit CriticalSection(int spinCount = 4000);
#else
   explicit CriticalSection(int spinCount = 4000) : m_spinCount(spinCount) {}
#endif
   CriticalSection(const CriticalSection &) = delete;
   CriticalSection &operator=(const CriticalSection &) = delete;

   void lock() HK_ACQUIRE();
#ifdef _WIN32
   ~CriticalSection();
   void unlock() HK_RELEASE();
   bool try_lock() HK_TRY_ACQUIRE(true);

private:
   // The system's CRITICAL_SECTION, kept opaque so that this header needs no
   // <windows.h> types beyond Winsock's; its size is checked where it is used.
   alignas(8) unsigned char m_section[40];
#else
   void unlock() HK_RELEASE() {
      m_mutex.unlock();
   }
   bool try_lock() HK_TRY_ACQUIRE(true) {
      return m_mutex.try_lock();
   }

private:
   std::recursive_mutex m_mutex;
   int m_spinCount;
#endif
};

// A manual-reset event: stays signalled until reset.
class HESKER_EXPORT ManualResetEvent {
public:
#ifdef _WIN32
   ManualResetEvent();
   ~ManualResetEvent();
#else
   ManualResetEvent() = default;
#endif
   ManualResetEvent(const ManualResetEvent &) = delete;
   ManualResetEvent &operator=(const ManualResetEvent &) = delete;

   void set();
   void reset();
   // True when signalled within timeoutMs (INFINITE waits without limit).
   bool wait(uint32_t timeoutMs);

private:
#ifdef _WIN32
   HANDLE m_event;  // a manual-reset event object, owned
#else
   std::mutex m_mutex;
   std::condition_variable m_cond;
   bool m_signalled = false;  // guarded by m_mutex
#endif
};

// ---------------------------------------------------------------- threads
typedef uint32_t (*HK_THREAD_FUNCTION)(void *argument);
struct HK_THREAD;  // opaque handle record

// Runs function(argument) on a new thread, entered through SEHThreadStarter.
// Returns the handle record, or null when no thread could be started.
HESKER_EXPORT HK_THREAD *StartThread(HK_THREAD_FUNCTION function, void *argument);
// Waits without limit for the thread to end and frees the record; null is
// ignored.
HESKER_EXPORT void JoinThread(HK_THREAD *thread);

// ---------------------------------------------------------------- code page
// The system's 8-bit code page. On Linux it is ISO-8859-1: one byte is one
// character both ways; a character above U+00FF becomes '?' (the default
// character). On Windows it is the system's ANSI code page, decomposed
// characters composed first where that code page has the composed one.
// Both convert at most srcLength characters (-1: up to and including the
// NUL) into dst of dstSize units, always NUL-terminate when dstSize > 0, and
// return the number of units written without the terminator. WideToCodePage
// precomposes a letter and a following combining mark into one byte where the
// code page has the precomposed letter, so it may write fewer bytes than it
// reads characters.
HESKER_EXPORT size_t WideToCodePage(const wchar_t *src, int srcLength, char *dst, size_t dstSize);
HESKER_EXPORT size_t CodePageToWide(const char *src, int srcLength, wchar_t *dst, size_t dstSize);

// ---------------------------------------------------------------- formatting
// Wide formatting in which %s (and %S) take a wide string and %hs a narrow
// one, on every platform. Writes at most count-1 characters and a NUL; a
// longer text is cut. Returns the length of the full text, or -1 on a bad
// format.
HESKER_EXPORT int hk_vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args);
HESKER_EXPORT int hk_snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...);
// Writes a wide text to a narrow stream as UTF-8, followed by a newline.
HESKER_EXPORT void hk_write_line(FILE *stream, const wchar_t *text);

// ---------------------------------------------------------------- system log
// Writes one line (UTF-8) to the system's log: syslog on Linux, the
// application event log on Windows. type is an event-log entry type (1
// error, 2 warning, 4 information); any other is written as debug.
HESKER_EXPORT void WriteSystemLog(uint16_t type, const char *utf8Text);

#endif
