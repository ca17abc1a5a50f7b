// The agents a user has met, and the key each one showed: a text file of
// lines "HOST:PORT FINGERPRINT", where the fingerprint is the lower-case
// hex SHA-256 of the agent key's DER SubjectPublicKeyInfo (64 digits).
// Lines may also give it as "SHA256:" and the base64 of the 32 bytes (the
// form ssh-keygen prints); it is compared as hex. Blank lines and lines
// that start with '#' are comments, kept as they are when the file is
// rewritten. An endpoint may have several lines (a key being rotated): a
// key that matches any of them is known.
//
// Trust on first use: a caller looks an agent up, and remembers its key
// when it is unknown; a changed key is for the caller to refuse.
//
// Not thread-safe: one object per thread. Two processes remembering at
// the same moment each write the file whole; one of the two new lines may
// be lost, never the file.
#ifndef HKTOOL_KNOWN_AGENTS_H
#define HKTOOL_KNOWN_AGENTS_H

#include <string>
#include <vector>

namespace hktool {

enum class AgentKeyStatus {
   Known,    // a line of the endpoint has this fingerprint
   Unknown,  // no line for the endpoint
   Changed,  // lines for the endpoint, none with this fingerprint
};

// $XDG_CONFIG_HOME/hksrv/known_agents (an absolute XDG_CONFIG_HOME), else
// ~/.config/hksrv/known_agents; empty when neither variable is set.
std::string DefaultKnownAgentsPath();

// A fingerprint in either form (hex in either case, or SHA256:base64 with
// or without its '=') as 64 lower-case hex digits. False, *hex cleared,
// when text is neither form of 32 bytes.
bool NormaliseAgentFingerprint(const std::string &text, std::string *hex);

// "HOST:PORT" as the file keys it: the host in lower case. False when the
// host is empty or holds blanks or '#', or the port is not 1..65535.
bool NormaliseAgentEndpoint(const std::string &text, std::string *endpoint);

class KnownAgents {
public:
   // path: the file; empty for DefaultKnownAgentsPath().
   explicit KnownAgents(const std::string &path = "");

   const std::string &path() const { return m_path; }

   // Reads the file; a missing file (or folder) holds no agents. False with
   // *error set (the line number of a line that is not a comment, an
   // endpoint and a fingerprint), and the object then holds no agents.
   bool load(std::string *error);

   // What the loaded file says of endpoint ("HOST:PORT") and fingerprint
   // (either form). *stored, when not null, is set to the hex fingerprint
   // on file: the matching one when Known, the endpoint's first when
   // Changed, "" when Unknown. A malformed endpoint or fingerprint is
   // Unknown.
   AgentKeyStatus lookup(const std::string &endpoint, const std::string &fingerprint,
                         std::string *stored = nullptr) const;

   // Adds the line "endpoint hex" to the file as it is on disk now (not
   // twice), writing a temporary file (mode 0600) beside it and renaming it
   // into place, so a reader sees the old file or the new one. The file's
   // folder is created (0700) when missing, but not the folders above it.
   // False with *error set, the file unchanged.
   bool remember(const std::string &endpoint, const std::string &fingerprint, std::string *error);

private:
   struct Entry {
      std::string endpoint, fingerprint;  // normalised
   };
   // Parses the text of a file into entries. False with *error set.
   static bool Parse(const std::string &text, std::vector<Entry> *entries, std::string *error);

   std::string m_path;
   std::vector<Entry> m_entries;
};

}  // namespace hktool

#endif
