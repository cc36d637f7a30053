#include "MosquittoLib.h"

#include <cstdio>
#include <dlfcn.h>
#include <mutex>

namespace NMosquitto {
namespace {

const char cLibraryName[] = "libmosquitto.so.1";

KApi lApi;
bool lLoaded = false;
char lWhy[96] = "";
std::once_flag lOnce;

template <typename T> bool Bind(void* library, T& entry, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    std::snprintf(lWhy, sizeof(lWhy), "%s lacks %s", cLibraryName, name);
    return false;
  }
  entry = reinterpret_cast<T>(symbol);
  return true;
}

void LoadOnce() {
  void* library = dlopen(cLibraryName, RTLD_NOW);
  if (library == nullptr) {
    std::snprintf(lWhy, sizeof(lWhy), "%s not found", cLibraryName);
    return;
  }
  KApi& a = lApi;
  bool ok = Bind(library, a.lib_init, "mosquitto_lib_init") &&
            Bind(library, a.create, "mosquitto_new") &&
            Bind(library, a.destroy, "mosquitto_destroy") &&
            Bind(library, a.username_pw_set, "mosquitto_username_pw_set") &&
            Bind(library, a.will_set, "mosquitto_will_set") &&
            Bind(library, a.tls_set, "mosquitto_tls_set") &&
            Bind(library, a.connect_async, "mosquitto_connect_async") &&
            Bind(library, a.disconnect, "mosquitto_disconnect") &&
            Bind(library, a.publish, "mosquitto_publish") &&
            Bind(library, a.loop, "mosquitto_loop") &&
            Bind(library, a.connect_callback_set, "mosquitto_connect_callback_set") &&
            Bind(library, a.disconnect_callback_set, "mosquitto_disconnect_callback_set") &&
            Bind(library, a.publish_callback_set, "mosquitto_publish_callback_set") &&
            Bind(library, a.max_inflight_messages_set, "mosquitto_max_inflight_messages_set") &&
            Bind(library, a.strerror, "mosquitto_strerror") &&
            Bind(library, a.connack_string, "mosquitto_connack_string");
  if (!ok)
    return; // the library stays open: harmless, and never opened again
  a.int_option = reinterpret_cast<decltype(a.int_option)>(dlsym(library, "mosquitto_int_option"));
  a.lib_init();
  lLoaded = true;
}

} // namespace

bool Load(const char** why) {
  std::call_once(lOnce, LoadOnce);
  if (!lLoaded && why != nullptr)
    *why = lWhy;
  return lLoaded;
}

const KApi& Api() { return lApi; }

} // namespace NMosquitto
