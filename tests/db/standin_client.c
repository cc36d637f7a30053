/* A client library that is not usable: the names telltrail binds, as empty
 * functions. STANDIN_missing leaves out mysql_fetch_row; STANDIN_broken calls
 * a function that nothing defines, so it cannot be loaded with RTLD_NOW. */
#ifdef STANDIN_broken
void telltrail_standin_undefined(void);
#define BODY telltrail_standin_undefined();
#else
#define BODY
#endif

#define NAME(n) \
  void n(void); \
  void n(void) { BODY }

NAME(mysql_init)
NAME(mysql_errno)
NAME(mysql_error)
NAME(mysql_real_connect)
NAME(mysql_select_db)
NAME(mysql_query)
NAME(mysql_send_query)
NAME(mysql_real_query)
NAME(mysql_store_result)
NAME(mysql_use_result)
NAME(mysql_close)
NAME(mysql_num_rows)
NAME(mysql_num_fields)
NAME(mysql_eof)
NAME(mysql_fetch_field_direct)
NAME(mysql_fetch_fields)
NAME(mysql_row_tell)
NAME(mysql_field_tell)
#ifndef STANDIN_missing
NAME(mysql_fetch_row)
#endif
