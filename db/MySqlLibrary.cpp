#include "MySqlLibrary.h"

#include "Report.h"

#include <cstdio>
#include <dlfcn.h>

void* LoadSoInstance = nullptr;

MYSQL* (*p_mysql_init)(MYSQL*) = nullptr;
unsigned int (*p_mysql_errno)(MYSQL*) = nullptr;
const char* (*p_mysql_error)(MYSQL*) = nullptr;
MYSQL* (*p_mysql_real_connect)(MYSQL*, const char*, const char*, const char*, const char*,
                               unsigned int, const char*, unsigned long) = nullptr;
int (*p_mysql_select_db)(MYSQL*, const char*) = nullptr;
int (*p_mysql_query)(MYSQL*, const char*) = nullptr;
int (*p_mysql_send_query)(MYSQL*, const char*, unsigned long) = nullptr;
int (*p_mysql_real_query)(MYSQL*, const char*, unsigned long) = nullptr;
MYSQL_RES* (*p_mysql_store_result)(MYSQL*) = nullptr;
MYSQL_RES* (*p_mysql_use_result)(MYSQL*) = nullptr;
void (*p_mysql_close)(MYSQL*) = nullptr;
my_ulonglong (*p_mysql_num_rows)(MYSQL_RES*) = nullptr;
unsigned int (*p_mysql_num_fields)(MYSQL_RES*) = nullptr;
my_bool (*p_mysql_eof)(MYSQL_RES*) = nullptr;
MYSQL_FIELD* (*p_mysql_fetch_field_direct)(MYSQL_RES*, unsigned int) = nullptr;
MYSQL_FIELD* (*p_mysql_fetch_fields)(MYSQL_RES*) = nullptr;
MYSQL_ROW_OFFSET (*p_mysql_row_tell)(MYSQL_RES*) = nullptr;
MYSQL_FIELD_OFFSET (*p_mysql_field_tell)(MYSQL_RES*) = nullptr;
MYSQL_ROW (*p_mysql_fetch_row)(MYSQL_RES*) = nullptr;
int (*p_mysql_options)(MYSQL*, int, const void*) = nullptr;
void (*p_mysql_free_result)(MYSQL_RES*) = nullptr;
unsigned int (*p_mysql_warning_count)(MYSQL*) = nullptr;

namespace {

const char cLibraryName[] = "libmysqlclient.so";

// One entry point: its name and how its pointer is set from dlsym's result.
struct KBinding {
  const char* mName;
  void (*mSet)(void* symbol);
  bool (*mBound)();
};

#define TT_BINDING(name)                                                                       \
  {                                                                                            \
    #name, [](void* s) { p_##name = reinterpret_cast<decltype(p_##name)>(s); },              \
        []() { return p_##name != nullptr; }                                                   \
  }

const KBinding lBindings[] = {
    TT_BINDING(mysql_init),          TT_BINDING(mysql_errno),
    TT_BINDING(mysql_error),         TT_BINDING(mysql_real_connect),
    TT_BINDING(mysql_select_db),     TT_BINDING(mysql_query),
    TT_BINDING(mysql_send_query),    TT_BINDING(mysql_real_query),
    TT_BINDING(mysql_store_result),  TT_BINDING(mysql_use_result),
    TT_BINDING(mysql_close),         TT_BINDING(mysql_num_rows),
    TT_BINDING(mysql_num_fields),    TT_BINDING(mysql_eof),
    TT_BINDING(mysql_fetch_field_direct), TT_BINDING(mysql_fetch_fields),
    TT_BINDING(mysql_row_tell),      TT_BINDING(mysql_field_tell),
    TT_BINDING(mysql_fetch_row),
};

#undef TT_BINDING

} // namespace

bool LoadSo() {
  if (LoadSoInstance != nullptr) {
    for (const KBinding& b : lBindings)
      if (!b.mBound())
        return false;
    return true;
  }
  LoadSoInstance = dlopen(cLibraryName, RTLD_NOW);
  if (LoadSoInstance == nullptr) {
    NReport::Failure("%s not found\n", cLibraryName);
    return false;
  }
  for (const KBinding& b : lBindings) {
    void* symbol = dlsym(LoadSoInstance, b.mName);
    if (symbol == nullptr) {
      NReport::Failure("mysql methode \"%s\" not loaded\n", b.mName);
      return false;
    }
    b.mSet(symbol);
  }
  p_mysql_options = reinterpret_cast<decltype(p_mysql_options)>(dlsym(LoadSoInstance, "mysql_options"));
  p_mysql_free_result =
      reinterpret_cast<decltype(p_mysql_free_result)>(dlsym(LoadSoInstance, "mysql_free_result"));
  p_mysql_warning_count =
      reinterpret_cast<decltype(p_mysql_warning_count)>(dlsym(LoadSoInstance, "mysql_warning_count"));
  return true;
}
