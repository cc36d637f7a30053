// The Mosquitto client library (libmosquitto, MQTT 3.1.1 and 5), bound at
// run time.
//
// telltrail does not link it: LoadMosquitto() opens "libmosquitto.so.1" with
// dlopen the first time an MQTT output connects, so the package installs
// and logs on a board that has neither a broker nor the library. Only the
// few entry points the MQTT output uses are declared here, from the
// library's documented C interface.
#pragma once

struct mosquitto;

namespace NMosquitto {

// Result codes of the library's calls (the values of its mosq_err_t).
enum TResultEnum : int {
  rsSuccess = 0,
  rsNoMemory = 1,
  rsProtocol = 2,
  rsInvalid = 3,
  rsNoConnection = 4,
  rsConnectionRefused = 5,
  rsNotFound = 6,
  rsConnectionLost = 7,
  rsTls = 8,
  rsPayloadSize = 9,
  rsNotSupported = 10,
  rsAuth = 11,
  rsAclDenied = 12,
  rsUnknown = 13,
  rsErrno = 14,
  rsLookup = 15, // a host name that does not resolve (EAI)
  rsKeepalive = 19,
  rsLookup2 = 20,
  rsTlsHandshake = 23,
  rsTimeout = 27
};

// Option numbers of mosquitto_int_option.
enum : int { cOptProtocolVersion = 1, cProtocol311 = 4 };

typedef void (*TConnectCallback)(mosquitto*, void*, int);
typedef void (*TPublishCallback)(mosquitto*, void*, int);
typedef int (*TPasswordCallback)(char*, int, int, void*);

// The bound entry points; all set once Load() has returned true.
struct KApi {
  int (*lib_init)();
  mosquitto* (*create)(const char* id, bool cleanSession, void* obj); // mosquitto_new
  void (*destroy)(mosquitto*);
  int (*username_pw_set)(mosquitto*, const char* user, const char* password);
  int (*will_set)(mosquitto*, const char* topic, int length, const void* payload, int qos,
                  bool retain);
  int (*tls_set)(mosquitto*, const char* caFile, const char* caPath, const char* certFile,
                 const char* keyFile, TPasswordCallback);
  int (*connect_async)(mosquitto*, const char* host, int port, int keepalive);
  int (*disconnect)(mosquitto*);
  int (*publish)(mosquitto*, int* mid, const char* topic, int length, const void* payload,
                 int qos, bool retain);
  int (*loop)(mosquitto*, int timeoutMs, int maxPackets);
  void (*connect_callback_set)(mosquitto*, TConnectCallback);
  void (*disconnect_callback_set)(mosquitto*, TConnectCallback);
  void (*publish_callback_set)(mosquitto*, TPublishCallback);
  int (*max_inflight_messages_set)(mosquitto*, unsigned int count);
  const char* (*strerror)(int result);
  const char* (*connack_string)(int code);
  // Optional (older libraries lack it): null when missing.
  int (*int_option)(mosquitto*, int option, int value);
};

// Opens the library and binds its entry points, once; later calls return
// the first call's result. On failure `why` (when not null) gets the reason:
// "libmosquitto.so.1 not found" or "libmosquitto.so.1 lacks <name>".
bool Load(const char** why);
// The bound entry points (valid once Load has returned true).
const KApi& Api();

} // namespace NMosquitto
