// Runs a program with an argument vector, never through a shell: each
// argument reaches the program as one word, whatever characters it holds.
// The program runs in its own process group with standard input, output and
// error on /dev/null, an empty signal mask and a fixed small environment;
// when it outlives the time limit the whole group is killed.
#ifndef HKAGENT_ACTION_RUNNER_H
#define HKAGENT_ACTION_RUNNER_H

#include <cstdint>
#include <string>
#include <vector>

namespace hkagent {

struct ProgramResult {
   bool started = false;   // the program was executed
   bool timedOut = false;  // killed at the time limit
   int exitCode = -1;      // exit status when it exited by itself, else -1
   int signal = 0;         // the signal that ended it, else 0
};

// Runs argv (argv[0] an absolute path) for at most timeoutMs and waits for
// it. Returns ERR_SUCCESS when it exited with status 0, ERR_EXEC_FAILED when
// it could not be started, exited with another status, died of a signal or
// was killed at the time limit.
uint32_t RunProgram(const std::vector<std::string> &argv, uint32_t timeoutMs,
                    ProgramResult *result);

}  // namespace hkagent

#endif
