// A one-line progress bar on standard error for file transfers. It draws
// only when standard error is a terminal, so scripts and logs never get
// carriage returns; redraws are limited to a few per second.
//
// Thread safety: update() may be called from the library's receiver thread
// while the caller's thread waits; one ProgressBar is updated by one thread
// at a time.
#ifndef HKTOOL_PROGRESS_H
#define HKTOOL_PROGRESS_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace hktool {

class ProgressBar {
public:
   // total 0: unknown, the bar shows bytes and rate only. enabled false
   // draws nothing (e.g. --quiet or not a terminal).
   ProgressBar(std::string label, uint64_t total, bool enabled);
   ~ProgressBar() { finish(); }

   void update(uint64_t done);
   // Draws the last state and ends the line; later calls do nothing.
   void finish();

   // The line for a state, without the leading carriage return: used by
   // update() and by tests. width is the bar's width in cells.
   static std::string Format(const std::string &label, uint64_t done, uint64_t total,
                             double seconds, int width);

   // True when standard error is a terminal.
   static bool StderrIsTerminal();

private:
   void draw(bool force);

   std::string m_label;
   uint64_t m_total;
   uint64_t m_done = 0;
   bool m_enabled;
   bool m_finished = false;
   uint64_t m_startMs;
   uint64_t m_lastDrawMs = 0;
   size_t m_lastLength = 0;
};

}  // namespace hktool

#endif
