// File transfer: upload into the agent's file store, and download from it
// through the agent's own download request.
//
// A download goes to a temporary file beside its target and is renamed
// only once it is complete and as large as the agent announced, so a failed
// or refused download never truncates or removes a file that was there.
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

bool CopyToStdout(const std::string &path) {
   FILE *file = fopen(path.c_str(), "rb");
   if (file == nullptr)
      return false;
   char buffer[65536];
   size_t got;
   bool ok = true;
   while (ok && (got = fread(buffer, 1, sizeof(buffer), file)) > 0)
      ok = fwrite(buffer, 1, got, stdout) == got;
   ok = ok && !ferror(file) && fflush(stdout) == 0;
   fclose(file);
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

// The download itself into temp, then to output (or standard output).
int FetchInto(const Query &q, const std::string &name, const std::string &output,
              const std::string &temp, bool toStdout);

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
   const char *tmpdir = getenv("TMPDIR");
   std::string dir =
       toStdout ? (tmpdir != nullptr && tmpdir[0] ? tmpdir : "/tmp") : DirectoryOf(output);
   std::string temp = MakeTempFile(dir);
   if (temp.empty())
      return ReportError(q.tool(), ERR_FILE_OPEN_ERROR,
                         "cannot create a file in " + dir + ": " + strerror(errno));
   GuardPartialFile(temp);
   int status = FetchInto(q, name, output, temp, toStdout);
   ReleasePartialFile();
   return status;
}

int FetchInto(const Query &q, const std::string &name, const std::string &output,
              const std::string &temp, bool toStdout) {
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
   if (toStdout) {
      bool copied = CopyToStdout(temp);
      unlink(temp.c_str());
      if (!copied)
         return ReportError(q.tool(), ERR_IO_FAILURE,
                            std::string("cannot write: ") + strerror(errno));
      if (!q.tool().json)
         PrintTransfer(q, "download", name, output, announced);
      return EXIT_OK;
   }
   // mkstemp made it 0600; the download gets the usual mode of a new file.
   mode_t mask = umask(0);
   umask(mask);
   chmod(temp.c_str(), 0666 & ~mask);
   if (rename(temp.c_str(), output.c_str()) != 0) {
      int error = errno;
      unlink(temp.c_str());
      return ReportError(q.tool(), ERR_IO_FAILURE,
                         "cannot write " + output + ": " + strerror(error));
   }
   PrintTransfer(q, "download", name, output, announced);
   return EXIT_OK;
}

}  // namespace hkquery
