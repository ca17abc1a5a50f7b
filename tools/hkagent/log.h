// The agent's log: one line per event on standard error, with a time stamp
// and a level; when standard error is the systemd journal's stream, with the
// level as a syslog priority prefix and no time stamp instead. Thread safe;
// lines of different threads never mix.
#ifndef HKAGENT_LOG_H
#define HKAGENT_LOG_H

#include <string>
#include <string_view>

namespace hkagent {

enum class LogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Lines above this level are dropped (default Info).
void SetLogLevel(LogLevel level);
LogLevel GetLogLevel();
// Parses "error", "warning", "info" or "debug" (any case); false otherwise.
bool ParseLogLevel(const char *text, LogLevel *level);

// Text a peer sent (names, keys, values), made safe for one log line:
// control characters, DEL, '\\' and '"' become \xNN escapes, and a text
// over maxBytes is cut and marked with "...".
std::string EscapeForLog(std::string_view text, size_t maxBytes = 256);

void Log(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A line about a peer; when it has not authenticated (trusted false) the
// line is rate-limited, as anyone who can connect can make such lines: of
// each kind (format) at most kPeerLogBurst at once and kPeerLogPerSecond a
// second on average. What is dropped is counted and reported as "N similar
// lines suppressed" before the next line of the kind that passes, or by
// FlushSuppressedLogs.
static const unsigned kPeerLogBurst = 20;
static const unsigned kPeerLogPerSecond = 2;
void LogPeer(bool trusted, LogLevel level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Reports the kinds with lines suppressed and none passed for a while; the
// server calls it every second.
void FlushSuppressedLogs();

}  // namespace hkagent

#define HKLOG_ERROR(...) ::hkagent::Log(::hkagent::LogLevel::Error, __VA_ARGS__)
#define HKLOG_WARN(...) ::hkagent::Log(::hkagent::LogLevel::Warning, __VA_ARGS__)
#define HKLOG_INFO(...) ::hkagent::Log(::hkagent::LogLevel::Info, __VA_ARGS__)
#define HKLOG_DEBUG(...) ::hkagent::Log(::hkagent::LogLevel::Debug, __VA_ARGS__)
// HKLOG_PEER(trusted, LogLevel::Warning, format, ...): see LogPeer.
#define HKLOG_PEER(trusted, level, ...) ::hkagent::LogPeer((trusted), ::hkagent::level, __VA_ARGS__)

#endif
