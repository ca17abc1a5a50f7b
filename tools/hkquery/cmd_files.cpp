// File transfer: upload into the agent's file store, and download from it
// through the agent's own download request.
//
// A download goes to a temporary file and reaches its output only once it
// is complete and as large as the agent announced, so a failed or refused
// download never truncates or removes what was there. A regular file (or a
// new name) is replaced by renaming the temporary file, made beside it, over
// it. A device, a FIFO or a socket is written in place from a temporary file
// under TMPDIR, and is never renamed over nor removed. A symbolic link is
// refused, never followed nor replaced: the output names its target.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "agent_codes.h"
#include "commands.h"
#include "progress.h"
#include "text.h"

using namespace hktool;

namespace hkquery {

namespace {

// The temporary file of a download in progress, removed when an interrupt
// or a termination signal ends the program half way.
char g_partialFile[4096];

void RemovePartialAndDie(int signalNumber) {
   if (g_partialFile[0] != '\0')
      unlink(g_partialFile);
   signal(signalNumber, SIG_DFL);
   raise(signalNumber);
}

void GuardPartialFile(const std::string &path) {
   if (path.size() >= sizeof(g_partialFile))
      return;
   memcpy(g_partialFile, path.c_str(), path.size() + 1);
   for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
      signal(signalNumber, RemovePartialAndDie);
}

void ReleasePartialFile() {
   for (int signalNumber : {SIGINT, SIGTERM, SIGHUP})
      signal(signalNumber, SIG_DFL);
   g_partialFile[0] = '\0';
}

void UploadProgress(int64_t sent, void *argument) {
   static_cast<ProgressBar *>(argument)->update(sent > 0 ? (uint64_t)sent : 0);
}

void DownloadProgress(uint64_t position, void *argument) {
   static_cast<ProgressBar *>(argument)->update(position);
}

std::string LastComponent(const std::string &name) {
   size_t slash = name.find_last_of('/');
   return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string DirectoryOf(const std::string &path) {
   size_t slash = path.find_last_of('/');
   if (slash == std::string::npos)
      return ".";
   return slash == 0 ? "/" : path.substr(0, slash);
}

// A new, empty temporary file in dir; its path, or "" with errno set.
std::string MakeTempFile(const std::string &dir) {
   std::string path = dir + "/.hkquery-download-XXXXXX";
   int fd = mkstemp(path.data());
   if (fd < 0)
      return "";
   close(fd);
   return path;
}

// Writes all of the file at path to fd; false with errno set.
bool CopyFileTo(const std::string &path, int fd) {
   int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
   if (in < 0)
      return false;
   char buffer[65536];
   ssize_t got;
   bool ok = true;
   while (ok && (got = read(in, buffer, sizeof(buffer))) != 0) {
      if (got < 0) {
         ok = errno == EINTR;
         continue;
      }
      for (ssize_t done = 0; ok && done < got;) {
         ssize_t put = write(fd, buffer + done, (size_t)(got - done));
         if (put > 0)
            done += put;
         else
            ok = put < 0 && errno == EINTR;
      }
   }
   int error = errno;
   close(in);
   errno = error;
   return ok;
}

// Writes the file at path into output as it is: opened for writing only,
// neither created, truncated, renamed over nor removed. A FIFO waits for
// its reader. False with errno set.
bool WriteInPlace(const std::string &path, const std::string &output) {
   int fd = open(output.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
   if (fd < 0)
      return false;
   struct stat info;
   // Replaced by a regular file since it was looked at: writing over the
   // start of that file would leave its old tail after the download.
   if (fstat(fd, &info) != 0 || S_ISREG(info.st_mode)) {
      close(fd);
      errno = EEXIST;
      return false;
   }
   bool ok = CopyFileTo(path, fd);
   int error = errno;
   ok = (close(fd) == 0 || errno == EINTR) && ok;
   errno = ok ? 0 : error;
   return ok;
}

void PrintTransfer(const Query &q, const char *kind, const std::string &name,
                   const std::string &local, uint64_t bytes) {
   if (q.tool().json) {
      JsonWriter json;
      json.beginObject();
      json.member(kind, name);
      json.member("file", local);
      json.member("bytes", bytes);
      json.endObject();
      PrintJson(json);
   } else if (strcmp(kind, "upload") == 0) {
      printf("uploaded %s as %s (%s)\n", local.c_str(), name.c_str(), HumanBytes(bytes).c_str());
   } else {
      // stdout may carry the file itself: the note goes to stderr then.
      FILE *stream = (local == "-") ? stderr : stdout;
      fprintf(stream, "downloaded %s to %s (%s)\n", name.c_str(), local.c_str(),
              HumanBytes(bytes).c_str());
   }
}

}  // namespace

int RunUpload(const Query &q) {
   const std::string &path = q.options.modeArgument;
   struct stat info;
   if (stat(path.c_str(), &info) != 0)
      return ReportError(q.tool(), ERR_FILE_OPEN_ERROR, path + ": " + strerror(errno));
   if (!S_ISREG(info.st_mode))
      return ReportError(q.tool(), ERR_FILE_OPEN_ERROR, path + " is not a regular file");
   std::string destination =
       q.options.destination.empty() ? LastComponent(path) : q.options.destination;

   std::wstring widePath = Utf8ToWide(path);
   std::wstring wideDestination = Utf8ToWide(q.options.destination);
   ProgressBar bar("upload " + destination, (uint64_t)info.st_size,
                   !q.tool().quiet && ProgressBar::StderrIsTerminal());
   uint32_t code = q.agent->uploadFile(
       widePath.c_str(), q.options.destination.empty() ? nullptr : wideDestination.c_str(),
       UploadProgress, &bar);
   bar.finish();
   if (code != ERR_SUCCESS)
      return RequestFailed(q, "upload of " + path, code);
   PrintTransfer(q, "upload", destination, path, (uint64_t)info.st_size);
   return EXIT_OK;
}

// What is at a download's output, and so how the download reaches it.
enum class OutputKind {
   Replace,  // a regular file or a new name: renamed over
   InPlace,  // standard output, a device, a FIFO, a socket: written to
};

// The download itself into temp, then to output.
int FetchInto(const Query &q, const std::string &name, const std::string &output,
              const std::string &temp, OutputKind kind);

int RunDownload(const Query &q) {
   const std::string &name = q.options.modeArgument;
   std::string output = q.options.output;
   if (output.empty()) {
      output = LastComponent(name);
      if (output.empty() || output == "." || output == "..")
         return ReportUsage(q.tool(), "name the local file with --output");
   }
   bool toStdout = (output == "-");
   struct stat target;
   if (!toStdout && stat(output.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
      std::string base = LastComponent(name);
      if (base.empty() || base == "." || base == "..")
         return ReportUsage(q.tool(), "name the local file with --output");
      output += "/" + base;
   }
   OutputKind kind = OutputKind::InPlace;
   if (!toStdout) {
      // lstat: a link is judged as a link, not as what it points at.
      if (lstat(output.c_str(), &target) != 0) {
         if (errno != ENOENT)
            return ReportError(q.tool(), ERR_FILE_OPEN_ERROR, output + ": " + strerror(errno));
         kind = OutputKind::Replace;
      } else if (S_ISLNK(target.st_mode)) {
         return ReportError(q.tool(), ERR_FILE_OPEN_ERROR,
                            output +
                                " is a symbolic link: name its target with --output (a link is "
                                "neither followed nor replaced)");
      } else if (S_ISREG(target.st_mode)) {
         kind = OutputKind::Replace;
      }
   }
   const char *tmpdir = getenv("TMPDIR");
   std::string dir = kind == OutputKind::InPlace
                         ? (tmpdir != nullptr && tmpdir[0] ? tmpdir : "/tmp")
                         : DirectoryOf(output);
   std::string temp = MakeTempFile(dir);
   if (temp.empty())
      return ReportError(q.tool(), ERR_FILE_OPEN_ERROR,
                         "cannot create a file in " + dir + ": " + strerror(errno));
   GuardPartialFile(temp);
   int status = FetchInto(q, name, output, temp, kind);
   ReleasePartialFile();
   return status;
}

int FetchInto(const Query &q, const std::string &name, const std::string &output,
              const std::string &temp, OutputKind kind) {
   CSCPMessage request(q.agent->getProtocolVersion());
   request.SetCode(hkagent::CMD_GET_AGENT_FILE);
   std::wstring wideName = Utf8ToWide(name);
   request.SetVariable(VID_FILE_NAME, wideName.c_str());
   std::wstring wideTemp = Utf8ToWide(temp);
   ProgressBar bar("download " + name, 0, !q.tool().quiet && ProgressBar::StderrIsTerminal());
   bool overrun = false;
   std::unique_ptr<CSCPMessage> reply(q.agent->fetchFile(
       &request, wideTemp.c_str(), hkagent::VID_AGENT_FILE_SIZE, DownloadProgress, &bar, &overrun));
   bar.finish();

   uint32_t code = reply ? reply->GetVariableLong(VID_RCC) : ERR_REQUEST_TIMEOUT;
   uint64_t announced = reply ? reply->GetVariableInt64(hkagent::VID_AGENT_FILE_SIZE) : 0;
   if (overrun) {
      unlink(temp.c_str());
      return ReportError(q.tool(), ERR_IO_FAILURE,
                         "download of " + name + " stopped: the agent sent more than the " +
                             std::to_string(announced) + " bytes it announced");
   }
   struct stat info;
   if (code == ERR_SUCCESS &&
       (stat(temp.c_str(), &info) != 0 || (uint64_t)info.st_size != announced)) {
      unlink(temp.c_str());
      return ReportError(q.tool(), ERR_IO_FAILURE,
                         "download of " + name + " is incomplete: " + std::to_string(announced) +
                             " bytes announced");
   }
   if (code != ERR_SUCCESS) {
      unlink(temp.c_str());
      return RequestFailed(q, "download of " + name, code);
   }
   if (kind == OutputKind::InPlace) {
      bool toStdout = (output == "-");
      bool copied = toStdout ? fflush(stdout) == 0 && CopyFileTo(temp, STDOUT_FILENO)
                             : WriteInPlace(temp, output);
      int error = errno;
      unlink(temp.c_str());
      if (!copied)
         return ReportError(q.tool(), ERR_IO_FAILURE,
                            "cannot write " + (toStdout ? std::string("the download") : output) +
                                ": " + strerror(error));
      if (!toStdout || !q.tool().json)
         PrintTransfer(q, "download", name, output, announced);
      return EXIT_OK;
   }
   // mkstemp made it 0600; the download gets the usual mode of a new file.
   mode_t mask = umask(0);
   umask(mask);
   chmod(temp.c_str(), 0666 & ~mask);
   // Looked at again just before: only a regular file is ever renamed over.
   struct stat now;
   bool replaceable = lstat(output.c_str(), &now) != 0 ? errno == ENOENT : S_ISREG(now.st_mode);
   if (!replaceable || rename(temp.c_str(), output.c_str()) != 0) {
      int error = replaceable ? errno : EEXIST;
      unlink(temp.c_str());
      return ReportError(q.tool(), ERR_IO_FAILURE,
                         "cannot write " + output + ": " + strerror(error));
   }
   PrintTransfer(q, "download", name, output, announced);
   return EXIT_OK;
}

}  // namespace hkquery
