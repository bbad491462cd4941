/* C interface of the search-engine writer library (libes_writer.so).
 *
 * Every call returns a status r0 (0 = success) and, when r0 is not 0, a NUL-terminated error text r1
 * that stays valid until the same thread's next call into the library. Text arguments are valid only
 * during the call; the library copies what it keeps. The library serves one sink per process: calls
 * from several threads are serialised, and an initialize with other settings is refused while
 * documents written under the current ones are not committed. No call throws. */
#ifndef LIBES_WRITER_H
#define LIBES_WRITER_H

#include <stdint.h>

/* The document type of write_msg: index a new document (the only type the writer accepts). */
#define ES_WRITER_DOC_INDEX 1

#ifdef __cplusplus
extern "C" {
#endif

struct initialize_return {
  int64_t r0;
  char* r1;
};

struct write_msg_return {
  int64_t r0;
  char* r1;
};

struct need_commit_return {
  int64_t r0;
  char* r1;
};

struct initialize_return initialize(char* es_url, int is_v8, char* es_index, int bulk_num, char* log_dir,
                                    char* log_name);
struct write_msg_return write_msg(char* doc, int len, int64_t typ);
struct need_commit_return need_commit(void);

/* Not used by the sink: the URL of the metrics endpoint (metrics_listen), such as
 * "http://127.0.0.1:40123/metrics" with the port the system chose, or "" when metrics are not served.
 * Valid until the same thread's next call into the library. */
const char* es_writer_metrics_url(void);

/* Not used by the sink: waits up to timeout_ms until the delivery audit (audit_rate in es_url) has read
 * back every document it sampled so far. 0 when it has, 1 otherwise; the counts since the process
 * started go to the pointers that are not null. */
int es_writer_audit_wait(long timeout_ms, uint64_t* checked, uint64_t* missing, uint64_t* changed);

#ifdef __cplusplus
}
#endif

#endif
