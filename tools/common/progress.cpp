#include "progress.h"

#include <unistd.h>

#include <chrono>

#include "text.h"

namespace hktool {

namespace {

uint64_t NowMs() {
   return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
              std::chrono::steady_clock::now().time_since_epoch())
       .count();
}

const uint64_t kRedrawIntervalMs = 100;
const int kBarWidth = 30;

}  // namespace

bool ProgressBar::StderrIsTerminal() {
   return isatty(STDERR_FILENO) == 1;
}

ProgressBar::ProgressBar(std::string label, uint64_t total, bool enabled)
    : m_label(std::move(label)), m_total(total), m_enabled(enabled), m_startMs(NowMs()) {}

std::string ProgressBar::Format(const std::string &label, uint64_t done, uint64_t total,
                                double seconds, int width) {
   std::string line = label + " ";
   if (total > 0) {
      uint64_t shown = done > total ? total : done;
      int filled = (int)((shown * (uint64_t)width) / total);
      line += "[" + std::string((size_t)filled, '#') + std::string((size_t)(width - filled), '.') +
              "] ";
      char percent[8];
      snprintf(percent, sizeof(percent), "%3d%%", (int)((shown * 100) / total));
      line += percent;
      line += " " + HumanBytes(done) + " of " + HumanBytes(total);
   } else {
      line += HumanBytes(done);
   }
   if (seconds > 0.05)
      line += ", " + HumanBytes((uint64_t)((double)done / seconds)) + "/s";
   return line;
}

void ProgressBar::update(uint64_t done) {
   m_done = done;
   draw(false);
}

void ProgressBar::draw(bool force) {
   if (!m_enabled || m_finished)
      return;
   uint64_t now = NowMs();
   if (!force && now - m_lastDrawMs < kRedrawIntervalMs)
      return;
   m_lastDrawMs = now;
   std::string line =
       Format(m_label, m_done, m_total, (double)(now - m_startMs) / 1000.0, kBarWidth);
   // Blank out what a longer previous line left behind.
   size_t length = line.size();
   if (length < m_lastLength)
      line.append(m_lastLength - length, ' ');
   m_lastLength = length;
   fprintf(stderr, "\r%s", line.c_str());
   fflush(stderr);
}

void ProgressBar::finish() {
   if (!m_enabled || m_finished)
      return;
   draw(true);
   m_finished = true;
   fputc('\n', stderr);
   fflush(stderr);
}

}  // namespace hktool
