#include "known_agents.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "text.h"

namespace hktool {

namespace {

const size_t kDigestBytes = 32;
const char kSshPrefix[] = "SHA256:";

std::string ErrnoText(const std::string &what, const std::string &path) {
   return what + " " + path + ": " + strerror(errno);
}

std::string DirectoryOf(const std::string &path) {
   size_t slash = path.find_last_of('/');
   if (slash == std::string::npos)
      return ".";
   return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ToHex(const unsigned char *bytes, size_t length) {
   static const char kDigits[] = "0123456789abcdef";
   std::string hex;
   for (size_t i = 0; i < length; i++) {
      hex += kDigits[bytes[i] >> 4];
      hex += kDigits[bytes[i] & 15];
   }
   return hex;
}

// SSH's form: the unpadded base64 of the digest (43 characters), or the
// same with its one '='. Only the canonical encoding is taken, so that one
// key has one spelling.
bool SshToHex(const std::string &encoded, std::string *hex) {
   std::string padded = encoded;
   if (padded.size() == 43)
      padded += '=';
   if (padded.size() != 44 || padded[43] != '=')
      return false;
   for (size_t i = 0; i < 43; i++) {
      unsigned char c = (unsigned char)padded[i];
      if (!isalnum(c) && c != '+' && c != '/')
         return false;
   }
   // Three bytes for every four characters, the padding's zero included.
   unsigned char bytes[33];
   if (EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char *>(padded.data()), 44) != 33)
      return false;
   unsigned char again[45];
   EVP_EncodeBlock(again, bytes, (int)kDigestBytes);
   if (padded != reinterpret_cast<const char *>(again))
      return false;
   *hex = ToHex(bytes, kDigestBytes);
   return true;
}

// The whole file, or "" when it does not exist. False with *error set.
bool ReadWhole(const std::string &path, std::string *text, std::string *error) {
   text->clear();
   int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
   if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR)
         return true;
      *error = ErrnoText("cannot read", path);
      return false;
   }
   char buffer[8192];
   ssize_t got;
   while ((got = read(fd, buffer, sizeof(buffer))) != 0) {
      if (got < 0 && errno == EINTR)
         continue;
      if (got < 0) {
         *error = ErrnoText("cannot read", path);
         close(fd);
         return false;
      }
      text->append(buffer, (size_t)got);
   }
   close(fd);
   return true;
}

// The file's own folder, made (0700) when missing; its parent must exist.
bool EnsureFolder(const std::string &dir, std::string *error) {
   struct stat info;
   if (stat(dir.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode))
         return true;
      *error = dir + " is not a folder";
      return false;
   }
   if (errno != ENOENT || mkdir(dir.c_str(), 0700) != 0) {
      if (errno == ENOENT)
         *error =
             "cannot create folder " + dir + ": its parent " + DirectoryOf(dir) + " does not exist";
      else
         *error = ErrnoText("cannot create folder", dir);
      return false;
   }
   // Exactly 0700, whatever the umask.
   chmod(dir.c_str(), 0700);
   return true;
}

// text into path through a temporary file of mode 0600 renamed over it.
bool ReplaceFile(const std::string &path, const std::string &text, std::string *error) {
   std::string temp = DirectoryOf(path) + "/.known_agents-XXXXXX";
   int fd = mkstemp(temp.data());
   if (fd < 0) {
      *error = ErrnoText("cannot create a file in", DirectoryOf(path));
      return false;
   }
   bool ok = fchmod(fd, 0600) == 0;
   for (size_t done = 0; ok && done < text.size();) {
      ssize_t put = write(fd, text.data() + done, text.size() - done);
      if (put > 0)
         done += (size_t)put;
      else
         ok = put < 0 && errno == EINTR;
   }
   ok = ok && fsync(fd) == 0;
   ok = close(fd) == 0 && ok;
   ok = ok && rename(temp.c_str(), path.c_str()) == 0;
   if (!ok) {
      *error = ErrnoText("cannot write", path);
      unlink(temp.c_str());
   }
   return ok;
}

}  // namespace

std::string DefaultKnownAgentsPath() {
   const char *config = getenv("XDG_CONFIG_HOME");
   if (config != nullptr && config[0] == '/')
      return std::string(config) + "/hksrv/known_agents";
   const char *home = getenv("HOME");
   if (home != nullptr && home[0] != '\0')
      return std::string(home) + "/.config/hksrv/known_agents";
   return "";
}

bool NormaliseAgentFingerprint(const std::string &text, std::string *hex) {
   hex->clear();
   const size_t prefixLength = sizeof(kSshPrefix) - 1;
   if (text.compare(0, prefixLength, kSshPrefix) == 0)
      return SshToHex(text.substr(prefixLength), hex);
   if (text.size() != 2 * kDigestBytes)
      return false;
   for (char c : text) {
      if (!isxdigit((unsigned char)c))
         return false;
      *hex += (char)tolower((unsigned char)c);
   }
   return true;
}

bool NormaliseAgentEndpoint(const std::string &text, std::string *endpoint) {
   endpoint->clear();
   size_t colon = text.rfind(':');
   uint64_t port;
   if (colon == std::string::npos || colon == 0 ||
       !ParseNumber(text.substr(colon + 1), 1, 65535, &port))
      return false;
   std::string host = text.substr(0, colon);
   for (char &c : host) {
      if (isspace((unsigned char)c) || c == '#')
         return false;
      c = (char)tolower((unsigned char)c);
   }
   *endpoint = host + ":" + std::to_string(port);
   return true;
}

KnownAgents::KnownAgents(const std::string &path)
    : m_path(path.empty() ? DefaultKnownAgentsPath() : path) {}

bool KnownAgents::Parse(const std::string &text, std::vector<Entry> *entries, std::string *error) {
   entries->clear();
   std::istringstream lines(text);
   std::string line;
   for (int number = 1; std::getline(lines, line); number++) {
      std::istringstream fields(line);
      std::string endpoint, fingerprint, extra;
      if (!(fields >> endpoint) || endpoint[0] == '#')
         continue;
      Entry entry;
      if (!(fields >> fingerprint) || (fields >> extra) ||
          !NormaliseAgentEndpoint(endpoint, &entry.endpoint) ||
          !NormaliseAgentFingerprint(fingerprint, &entry.fingerprint)) {
         *error = "line " + std::to_string(number) +
                  ": not \"HOST:PORT FINGERPRINT\" (64 hex digits or SHA256:base64)";
         entries->clear();
         return false;
      }
      entries->push_back(entry);
   }
   return true;
}

bool KnownAgents::load(std::string *error) {
   m_entries.clear();
   std::string text;
   if (!ReadWhole(m_path, &text, error))
      return false;
   if (!Parse(text, &m_entries, error)) {
      *error = m_path + ", " + *error;
      return false;
   }
   return true;
}

AgentKeyStatus KnownAgents::lookup(const std::string &endpoint, const std::string &fingerprint,
                                   std::string *stored) const {
   if (stored != nullptr)
      stored->clear();
   std::string key, hex;
   if (!NormaliseAgentEndpoint(endpoint, &key) || !NormaliseAgentFingerprint(fingerprint, &hex))
      return AgentKeyStatus::Unknown;
   AgentKeyStatus status = AgentKeyStatus::Unknown;
   for (const Entry &entry : m_entries) {
      if (entry.endpoint != key)
         continue;
      if (entry.fingerprint == hex) {
         if (stored != nullptr)
            *stored = hex;
         return AgentKeyStatus::Known;
      }
      if (status == AgentKeyStatus::Unknown && stored != nullptr)
         *stored = entry.fingerprint;
      status = AgentKeyStatus::Changed;
   }
   return status;
}

bool KnownAgents::remember(const std::string &endpoint, const std::string &fingerprint,
                           std::string *error) {
   Entry entry;
   if (!NormaliseAgentEndpoint(endpoint, &entry.endpoint)) {
      *error = "not HOST:PORT: \"" + endpoint + "\"";
      return false;
   }
   if (!NormaliseAgentFingerprint(fingerprint, &entry.fingerprint)) {
      *error = "not a SHA-256 fingerprint: \"" + fingerprint + "\"";
      return false;
   }
   if (m_path.empty()) {
      *error = "no known-agents file: set HOME or name the file";
      return false;
   }
   // The file as it is now, which another process may have changed since
   // load: its lines, comments included, stay as they are.
   std::string text;
   std::vector<Entry> entries;
   if (!EnsureFolder(DirectoryOf(m_path), error) || !ReadWhole(m_path, &text, error))
      return false;
   if (!Parse(text, &entries, error)) {
      *error = m_path + ", " + *error;
      return false;
   }
   for (const Entry &known : entries) {
      if (known.endpoint == entry.endpoint && known.fingerprint == entry.fingerprint) {
         m_entries = entries;
         return true;
      }
   }
   if (!text.empty() && text.back() != '\n')
      text += '\n';
   text += entry.endpoint + " " + entry.fingerprint + "\n";
   if (!ReplaceFile(m_path, text, error))
      return false;
   entries.push_back(entry);
   m_entries = entries;
   return true;
}

}  // namespace hktool
