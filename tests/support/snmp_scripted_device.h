// A scripted SNMP device for tests: a real UDP server on 127.0.0.1 (an
// ephemeral port) whose every answer is decided by the test. It answers what
// real agents never send: names that go backwards or cycle, names longer
// than 128 components, any error status, silence.
//
// Requests are parsed with libhksnmp; answers are encoded here, byte by byte
// in BER, so that they are not limited to what libhksnmp can encode.
//
// Thread safety: the script runs on the device's own thread, one request at
// a time; requests() may be read from any thread.
#ifndef HKTEST_SNMP_SCRIPTED_DEVICE_H
#define HKTEST_SNMP_SCRIPTED_DEVICE_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace hktest {

struct ScriptedSnmpRequest {
   uint32_t version = 0;
   std::string community;
   uint32_t command = 0;
   uint32_t requestId = 0;
   uint32_t nonRepeaters = 0;                 // error-status field (of GETBULK)
   uint32_t maxRepetitions = 0;               // error-index field (of GETBULK)
   std::vector<std::vector<uint32_t>> names;  // of the variables, in order
};

struct ScriptedSnmpBinding {
   std::vector<uint32_t> name;  // any length
   uint8_t valueTag = 0x05;     // NULL
   std::vector<uint8_t> value;  // the value's BER content bytes
};

struct ScriptedSnmpAnswer {
   bool silent = false;  // send nothing
   uint32_t errorStatus = 0;
   uint32_t errorIndex = 0;
   bool noVariables = false;    // an empty variable list
   std::vector<uint32_t> name;  // of the one variable; any length
   uint8_t valueTag = 0x05;     // NULL
   std::vector<uint8_t> value;  // the value's BER content bytes
   // When not empty, the variables of the answer in place of the one above
   // (a GETBULK answer).
   std::vector<ScriptedSnmpBinding> bindings;
   std::vector<uint8_t> raw;  // when not empty, sent as it stands
};

typedef std::function<ScriptedSnmpAnswer(const ScriptedSnmpRequest &request)> ScriptedSnmpScript;

// The BER content bytes of an INTEGER (two's complement, minimal).
std::vector<uint8_t> BerIntegerContent(int64_t value);
// The BER content bytes of an unsigned 32-bit type (Counter32, Gauge32, ...).
std::vector<uint8_t> BerUnsignedContent(uint32_t value);
// The whole response message for request as answer says.
std::vector<uint8_t> BerEncodeResponse(const ScriptedSnmpRequest &request,
                                       const ScriptedSnmpAnswer &answer);

class ScriptedSnmpDevice {
public:
   explicit ScriptedSnmpDevice(ScriptedSnmpScript script);
   ~ScriptedSnmpDevice();
   ScriptedSnmpDevice(const ScriptedSnmpDevice &) = delete;
   ScriptedSnmpDevice &operator=(const ScriptedSnmpDevice &) = delete;

   bool running() const { return m_socket >= 0; }
   uint16_t port() const { return m_port; }
   uint32_t ipAddr() const { return 0x7F000001; }  // host byte order
   // Requests that parsed and were handed to the script.
   int requests() const { return m_requests.load(); }

private:
   void serve();

   ScriptedSnmpScript m_script;
   int m_socket = -1;
   int m_stopPipe[2] = {-1, -1};
   uint16_t m_port = 0;
   std::atomic<int> m_requests{0};
   std::thread m_thread;
};

}  // namespace hktest

#endif
