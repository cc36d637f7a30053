// The MySQL client library, bound at run time: telltrail does not link it.
// LoadSo() opens "libmysqlclient.so" with dlopen the first time a
// connection is wanted, so a board without it still logs to the console and
// to files.
#pragma once

// The client library's types, only ever handled through pointers.
typedef struct st_mysql MYSQL;
typedef struct st_mysql_res MYSQL_RES;
typedef struct st_mysql_field MYSQL_FIELD;
typedef struct st_mysql_rows* MYSQL_ROW_OFFSET;
typedef char** MYSQL_ROW;
typedef unsigned int MYSQL_FIELD_OFFSET;
typedef unsigned long long my_ulonglong;
typedef char my_bool;

// The library handle; null until the library has been opened.
extern void* LoadSoInstance;

// The bound entry points, null until bound (in this order).
extern MYSQL* (*p_mysql_init)(MYSQL*);
extern unsigned int (*p_mysql_errno)(MYSQL*);
extern const char* (*p_mysql_error)(MYSQL*);
extern MYSQL* (*p_mysql_real_connect)(MYSQL*, const char* host, const char* user,
                                      const char* password, const char* database,
                                      unsigned int port, const char* unixSocket,
                                      unsigned long clientFlags);
extern int (*p_mysql_select_db)(MYSQL*, const char* database);
extern int (*p_mysql_query)(MYSQL*, const char* sql);
extern int (*p_mysql_send_query)(MYSQL*, const char* sql, unsigned long length);
extern int (*p_mysql_real_query)(MYSQL*, const char* sql, unsigned long length);
extern MYSQL_RES* (*p_mysql_store_result)(MYSQL*);
extern MYSQL_RES* (*p_mysql_use_result)(MYSQL*);
extern void (*p_mysql_close)(MYSQL*);
extern my_ulonglong (*p_mysql_num_rows)(MYSQL_RES*);
extern unsigned int (*p_mysql_num_fields)(MYSQL_RES*);
extern my_bool (*p_mysql_eof)(MYSQL_RES*);
extern MYSQL_FIELD* (*p_mysql_fetch_field_direct)(MYSQL_RES*, unsigned int field);
extern MYSQL_FIELD* (*p_mysql_fetch_fields)(MYSQL_RES*);
extern MYSQL_ROW_OFFSET (*p_mysql_row_tell)(MYSQL_RES*);
extern MYSQL_FIELD_OFFSET (*p_mysql_field_tell)(MYSQL_RES*);
extern MYSQL_ROW (*p_mysql_fetch_row)(MYSQL_RES*);

// Entry points bound when the library has them, null otherwise: an older
// library still works without them.
extern int (*p_mysql_options)(MYSQL*, int option, const void* value);
extern void (*p_mysql_free_result)(MYSQL_RES*);
extern unsigned int (*p_mysql_warning_count)(MYSQL*);

// Opens the client library and binds all 19 entry points, once (and the
// optional ones it has). Prints
// "libmysqlclient.so not found" or "mysql methode "<name>" not loaded" and
// returns false when it cannot; a library that was not found is looked for
// again on the next call, one with a missing name stays failed.
bool LoadSo();
