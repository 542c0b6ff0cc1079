/*
 * zndb.h -- the zn record database: named in-memory databases of records,
 * each record an ordered list of variable-length parameters.
 *
 * A database (DataBase) holds a header (DataBaseName: description, version,
 * record count) and a doubly linked list of records (DataBaseInfo); a record
 * holds a doubly linked list of parameters (DataBaseParam). Every database
 * that exists is entered in the catalogue (_db_list), where db_find_dbase
 * finds it by name. Databases are saved to and opened from data files, which
 * lock files beside them guard against use by two processes at once.
 *
 * Conventions:
 *   - Results are pointers or null, and 1 (done) or 0 (failed) for most
 *     operations; db_save gives -1 when a lock file stands in the way; the
 *     counters db_records, db_version, db_num_params, db_param_length give -1
 *     for a null handle.
 *   - The library allocates and releases every record it hands out; callers
 *     never free one. Pointers stay valid until their object is removed or
 *     its database is closed.
 *   - Parameters are addressed by their position, counting from 1; a position
 *     of 1 or less means the first. Values are counted bytes followed by one
 *     NUL that is not counted, so text values serve as C strings; search and
 *     sort compare the text up to the first NUL.
 *   - Case mode 2 compares lower-cased text (tolower); any other value is
 *     case-sensitive. Sort direction 1 is ascending, 2 descending.
 *   - Diagnostics are printed on standard output while _db_verbose is 1, as
 *     "[function] Error: (n) ...".
 *   - Fields that hold signed 32-bit quantities are int32_t on every build,
 *     so that DataBaseName is the 88 bytes that begin every data file.
 *   - Applications built against the standalone library (which needs the C
 *     library only) define ZNDB_STANDALONE to 1. It changes the transfer
 *     calls: the standalone db_send and db_recv move a whole database before
 *     they return; the integrated ones move it through the scheduler's loop
 *     (znsched.h), which also carries the console commands.
 */
#ifndef ZN_ZNDB_H
#define ZN_ZNDB_H

#include "typedefs.h"
#ifndef ZNDB_STANDALONE
#include "znsched.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One parameter. p points to p_len value bytes plus a NUL when p_len > 0
 * (aligned for any 8-byte scalar); p is null when p_len is 0 or less. */
typedef struct DataBaseParam {
    int32_t p_len;
    char *p;
    struct DataBaseParam *next, *prev;
} DataBaseParam, dbParam;

/* One record: its parameters and the parameter cursor. */
typedef struct DataBaseInfo {
    int32_t num_params;
    DataBaseParam *p_first, *p_cur, *p_last;
    struct DataBaseInfo *next, *prev;
    char first_access; /* 1: the next step delivers p_cur without moving */
} DataBaseInfo, dbInfo;

/* The header of a database, of its data file and of its transfer stream. */
typedef struct DataBaseName {
    char name[80];   /* description, NUL-terminated */
    int32_t version; /* the application's version of the content */
    int32_t records; /* record count */
} DataBaseName, dbName;

/* Lock flags of db_open, kept in DataBase.flags. */
#define DB_LOCK      1 /* hold a lock file from db_open until db_close */
#define DB_BLOCK     2 /* wait for a foreign lock (5 looks, 2 s apart) */
#define DB_SAVE_LOCK 4 /* db_save honours locks and locks while it writes */

/* One database. */
typedef struct DataBase {
    uint32_t time_created;     /* time() when created, opened, copied, received */
    char table_name[80];       /* catalogue name, at most 79 characters */
    DataBaseName *dbname;      /* header, owned */
    DataBaseInfo *dbcur;       /* record cursor */
    DataBaseInfo *dbinfo, *dbinfo_end; /* first and last record */
    DataBaseInfo *search_cur;  /* search position */
    char first_access;         /* 1: the next step delivers dbcur without moving */
    char *search_text;         /* owned copy of the search text, or null */
    char search_start;         /* 1 until the first db_search_next */
    char search_case;          /* case mode of the search */
    int search_param;          /* parameter position of the search */
    int32_t flags;             /* DB_* lock flags given to db_open */
    char lock_file[512];       /* lock file path (db_open), else empty */
} DataBase, dBase;

/* One catalogue entry; name points at the database's table_name. */
typedef struct DataBaseList {
    char *name;
    DataBase *db;
    struct DataBaseList *next, *prev;
} DataBaseList, dBaseList_t;

/* ---- Catalogue and settings (read them; change them through the calls). ---- */

ZN_EXPORT extern DataBaseList *_db_list, *_db_list_end;
ZN_EXPORT extern char _db_data_path[256];       /* directory of data files */
ZN_EXPORT extern int _db_verbose;               /* 1: print diagnostics (initially 1) */
ZN_EXPORT extern int _db_byte_swap;             /* 1: file integers byte-reversed */
ZN_EXPORT extern char *_db_default_null_string; /* text of a missing value, "(null)" */

/* ---- Settings. ---- */

/* Copy dpath into _db_data_path. Returns 1, or 0 (old path kept) when dpath
 * is null or longer than 255 characters. */
ZN_EXPORT int db_set_data_path(char *dpath);

/* _db_verbose := x. */
ZN_EXPORT void db_set_verbose(int x);

/* _db_byte_swap := x; read when a file is saved or opened. */
ZN_EXPORT void db_set_byte_swap(int x);

/* _db_default_null_string := s. The pointer is stored, not the text: s must
 * not be null and must outlive its use. */
ZN_EXPORT void db_set_default_null_string(char *s);

/* ---- Databases and the catalogue. ---- */

/* A new empty database named dbname (cut to 79 characters) with description
 * desc (likewise) and version, appended to the catalogue; names need not be
 * unique. Null, with a diagnostic, when out of memory. */
ZN_EXPORT DataBase *db_create(char *dbname, char *desc, long version);

/* The first database in catalogue order whose table_name equals dbname
 * exactly; null when none. */
ZN_EXPORT DataBase *db_find_dbase(char *dbname);

/* Take db out of the catalogue and free it with all its records; remove the
 * lock file that db_open took for it. A database that is not in the
 * catalogue is left untouched (diagnostic); null does nothing. */
ZN_EXPORT void db_close(DataBase *db);

/* Close every database, in catalogue order. */
ZN_EXPORT void db_close_all(void);

/* The description (the header's name), or null for a null handle. */
ZN_EXPORT char *db_name(DataBase *db);

/* The header's version, or -1 for a null handle. */
ZN_EXPORT long db_version(DataBase *db);

/* The header's record count, or -1 for a null handle. */
ZN_EXPORT long db_records(DataBase *db);

/* ---- Records. ---- */

/* A new record without parameters after the last record; the record count
 * rises by one. The first record of an empty database places the record
 * cursor on it. Null for a null handle or when out of memory. */
ZN_EXPORT DataBaseInfo *db_new(DataBase *db);

/* Unlink dbi (a record of db) and free it with its parameters; the record
 * count falls by one. Cursors and the search position that stand on it are
 * left to the caller to place again. Returns 1, or 0 for a null argument. */
ZN_EXPORT int db_remove(DataBase *db, DataBaseInfo *dbi);

/* Place the record cursor on the first (last) record; the next step
 * delivers that record. Null does nothing. */
ZN_EXPORT void db_start(DataBase *db);
ZN_EXPORT void db_end(DataBase *db);

/* The record under the cursor; after db_start or db_end this uses up the
 * delivery of the placed record. Null when none or for a null handle. */
ZN_EXPORT DataBaseInfo *db_cur(DataBase *db);

/* Step the record cursor forwards (backwards) and give the record reached;
 * right after placing, give the placed record without moving. Null at the
 * end, where the cursor stays; null for a null handle. */
ZN_EXPORT DataBaseInfo *db_next(DataBase *db);
ZN_EXPORT DataBaseInfo *db_prev(DataBase *db);

/* The n-th record (n of 1 or less: the first), or null when there are fewer;
 * the cursor does not move. Null for a null handle. */
ZN_EXPORT DataBaseInfo *db_recall(DataBase *db, int n);

/* ---- Parameters. ---- */

/* The record's parameter count, or -1 for a null record. */
ZN_EXPORT long db_num_params(DataBaseInfo *dbi);

/* Append a parameter holding a copy of the p_len bytes at p (nothing is read
 * when p_len is 0 or less, and the parameter has no value); num_params rises
 * by one. Null for a null record, for a length beyond 32 bits, or when out of
 * memory (the record is unchanged). */
ZN_EXPORT DataBaseParam *db_param_new(DataBaseInfo *dbi, long p_len, void *p);

/* Give dbp the p_len bytes at p as its value (a length of 0 or less: no
 * value). Returns 1, or 0 for a null parameter, a length beyond 32 bits or
 * when out of memory (the old value stays). */
ZN_EXPORT int db_param_update(DataBaseParam *dbp, long p_len, void *p);

/* Unlink dbp (a parameter of dbi) and free it; num_params falls by one.
 * Returns 1, or 0 for a null argument. */
ZN_EXPORT int db_param_remove(DataBaseInfo *dbi, DataBaseParam *dbp);

/* The parameter cursor of a record, stepped exactly as the record cursor. */
ZN_EXPORT void db_param_start(DataBaseInfo *dbi);
ZN_EXPORT void db_param_end(DataBaseInfo *dbi);
ZN_EXPORT DataBaseParam *db_param_cur(DataBaseInfo *dbi);
ZN_EXPORT DataBaseParam *db_param_next(DataBaseInfo *dbi);
ZN_EXPORT DataBaseParam *db_param_prev(DataBaseInfo *dbi);

/* The value as text; _db_default_null_string when dbp is null or has no
 * value. */
ZN_EXPORT char *db_param_string(DataBaseParam *dbp);

/* The value bytes; a constant "" when dbp is null or has no value. */
ZN_EXPORT void *db_param_value(DataBaseParam *dbp);

/* The value's length p_len, or -1 for a null parameter. */
ZN_EXPORT long db_param_length(DataBaseParam *dbp);

/* The n-th parameter (n of 1 or less: the first), or null when there are
 * fewer; the cursor does not move. Null for a null record. */
ZN_EXPORT DataBaseParam *db_param_recall(DataBaseInfo *dbi, int n);

/* The first parameter whose text (db_param_string) equals s; null if none. */
ZN_EXPORT DataBaseParam *db_param_find(DataBaseInfo *dbi, char *s);

/* ---- Data files and locks. ---- */

/* Write db to "<_db_data_path>/<table_name>.db": the 88-byte header, then
 * one block per record (parameter count; per parameter its length and, when
 * positive, its bytes), integers byte-reversed while _db_byte_swap is 1.
 * The file a symbolic link leads to is written, and synced. A regular file
 * with a single link, whose owner, group and mode a new file can be given,
 * is replaced atomically (a temporary file beside it, renamed over it): a
 * failed save leaves it as it was. Anything else (a FIFO or device, a file
 * with several links, an owner or group the process cannot give a file, a
 * directory that refuses the rename) is written in place: truncated, then
 * written, so a failed save leaves it cut short. A file the process may not
 * open for writing is left untouched. Writing raises no SIGPIPE or SIGXFSZ.
 * Returns 1 when written; 0 for a null db, a path that is too long, or a
 * file that cannot be opened for writing (a FIFO without a reader is not
 * waited for), created, written or synced; -1 when a lock file stands in
 * the way (DB_SAVE_LOCK without DB_LOCK). */
ZN_EXPORT int db_save(DataBase *db);

/* Read a data file into a new database, registered at the end of the
 * catalogue with its record cursor on the first record. dbname is a bare
 * name, a relative path (both under _db_data_path) or an absolute path;
 * ".db" is added unless it contains ".db". The table name is dbname as
 * given (cut to 79 characters). flags: DB_* lock flags. Only a regular
 * file is read: a FIFO, device or directory fails at once. Null on any
 * failure (locked, unreadable, not a regular file, truncated inside a
 * record, out of memory), leaving no catalogue entry and no lock file. */
ZN_EXPORT DataBase *db_open(char *dbname, long flags);

/* The four low bytes of l in reverse order, as a signed 32-bit value;
 * applying it twice gives back every value that fits in 32 bits. */
ZN_EXPORT long db_byte_swap(long l);

/* ---- Search, sort and copy. ---- */

/* The first record whose parameter n has exactly the text s (case mode c);
 * a missing or empty parameter has the default null string as its text.
 * Moves no cursor. Null when none or for a null db. */
ZN_EXPORT DataBaseInfo *db_find(DataBase *db, int n, char *s, int c);

/* Start a search for records whose parameter n contains s (case mode c) from
 * the first record. Returns 1; 0 for a null db or when out of memory (the
 * search is then unset). */
ZN_EXPORT int db_search_set(DataBase *db, char c, int n, char *s);

/* The next record whose parameter n contains the search text (a missing or
 * empty parameter is tested as the default null string); null when none is
 * left, when no search was set, or for a null db. */
ZN_EXPORT DataBaseInfo *db_search_next(DataBase *db);

/* The number of records from the search position on (included) whose
 * parameter n has a value that contains the search text; 0 for a null db. */
ZN_EXPORT int db_search_matches_left(DataBase *db);

/* A new lower-cased copy of s (tolower of every byte); the caller frees it.
 * Null for null. When out of memory it prints "ERROR: malloc failed" and
 * ends the process with status 0. */
ZN_EXPORT char *db_get_low(char *s);

/* Sort the records stably by the text of parameter param, followed, when
 * param2 (param3) is not 0, by a space and that parameter's text; keys are
 * cut to 119 characters. dir 1 ascending, 2 descending, else no change.
 * Returns the number of pairs that were out of order (the exchanges of
 * neighbours that would sort them), INT_MAX when larger; 0 for a null db.
 * Cursors and the search position stay on their records. */
ZN_EXPORT int db_sort_by_param(DataBase *db, int param, int param2, int param3, int dir,
                               int case_sensitive);

/* Sort a record's parameters stably by their text, as db_sort_by_param. */
ZN_EXPORT int db_sort_params(DataBaseInfo *dbi, int dir, int case_sensitive);

/* A new database named new_name with copies of odb's header and records,
 * appended to the catalogue. Walks odb with its record and parameter
 * cursors. A record or parameter that cannot be allocated is left out.
 * Null for a null odb or when out of memory. */
ZN_EXPORT DataBase *db_copy(DataBase *odb, char *new_name);

/* Append to db a copy of record dbi (which may be one of db's own); walks
 * dbi's parameter cursor. Null when db is null or out of memory. */
ZN_EXPORT DataBaseInfo *db_copy_dbi(DataBaseInfo *dbi, DataBase *db);

/* ---- Transfer stream. ----
 *
 * A whole database travels over a descriptor (a connected stream socket, a
 * pipe) as: the start word 0xCAFEBABE, the 80-byte table name, the 88-byte
 * header (DataBaseName), one block per record in list order (as in data
 * files), and the end word 0xDEADBEEF where the next block's parameter count
 * would stand. A database without records is the header and the end word.
 * Words are 32 bits in host order, byte-reversed while _db_byte_swap is 1;
 * both ends must use the same setting. Both builds write and read the same
 * stream.
 *
 * A receiver reads blocks up to the end word whatever the header's record
 * count says, and the received header keeps that count. It never consumes
 * a byte after the end word: those belong to the application. A table name
 * or description that fills its 80 bytes is terminated at byte 79. A
 * parameter length of 0 or less makes a parameter without value; one above
 * 256 MiB (268435456 bytes) fails the transfer without being allocated.
 * Fields move whole however the descriptor splits them; EINTR is retried;
 * writes never raise SIGPIPE; a non-blocking descriptor is waited for by
 * the calls that move a whole stream or block before they return.
 * Diagnostics name the field, as "[db_send] Error: Could not send DB Start".
 */

/* Write record dbi's block. Returns 0, or -1 for a null record or a failed
 * write. */
ZN_EXPORT int db_send_dbi(int fd, DataBaseInfo *dbi);

/* Read one record block and append the record to db (the record count stays
 * as it was), or read the end word. Returns 1 when a record was appended, 0
 * at the end word, -1 for a null db or a failure (a record cut short stays
 * in db with the parameters read so far). Reads nothing beyond the block. */
ZN_EXPORT int db_recv_dbi(int fd, DataBase *db);

#ifdef ZNDB_STANDALONE

/* Write db's whole stream to fd. Returns 0 when written, also for a null db
 * (nothing is written); -1 when a write failed. */
ZN_EXPORT int db_send(int fd, DataBase *db);

/* Read a whole stream from fd into a new database, entered at the end of
 * the catalogue under the stream's table name with its record cursor at the
 * first record (an older database of the same name is found first). Returns
 * 0, or -1 for a damaged or cut stream, a read error or lack of memory,
 * leaving nothing behind. */
ZN_EXPORT int db_recv(int fd);

#else /* the integrated build */

/* A running transfer of the integrated build, owned by the library. While
 * it runs the descriptor is registered with db_fd_event as "Sending DB" or
 * "Receiving DB" and a task "CHECK TRANSACTION" ends it when the descriptor
 * has had no event for more than a second at a check (after two to three
 * seconds without one). */
typedef struct dBTransState {
    int fd;                      /* the descriptor of the transfer */
    DataBase *db;                /* the database sent, or being received */
    DataBaseInfo *dbi;           /* sender: the next record to send */
    ulong_t last;                /* time() of the latest event */
    SchedFD fd_save;             /* the descriptor's earlier registration */
    void (*callback)(void *arg); /* the completion callback, or null */
    void *arg;                   /* handed to callback */
} dBTransState, dBTransState_t;

/* Start sending db on fd through the scheduler's loop. The header is
 * written at once; the records follow as the descriptor takes them, the end
 * word last. The descriptor's registration (if any) and status flags are
 * set aside for the transfer (it is made non-blocking) and put back at its
 * end. Complete: callback(arg) runs as the task "DB Callback"; timed out:
 * as "DB Callback - ERROR"; a failed write: no callback (diagnostic only).
 * Returns 0 when started (also for a null db: nothing happens, no callback),
 * -1 when out of memory or the header failed (nothing is left behind).
 * The database must stay unchanged and open until the transfer ends. */
ZN_EXPORT int db_send(int fd, DataBase *db, void (*callback)(void *), void *arg);

/* Start receiving a database from fd through the scheduler's loop: the
 * header is read as far as it has arrived, the rest as it arrives. The
 * database enters the catalogue (found by its table name with
 * db_find_dbase) only when its end word has arrived; callback(arg) then
 * runs as the task "DB Callback" (as "DB Callback - ERROR" after a
 * time-out). A failed or timed-out transfer releases what it received, and
 * so does a complete one whose catalogue entry cannot be allocated (the
 * callback still runs, and db_find_dbase finds nothing).
 * Registration and status flags as for db_send. Returns 0 when started, -1
 * when the header is damaged or cut or memory runs out (nothing is left
 * behind). */
ZN_EXPORT int db_recv(int fd, void (*callback)(void *), void *arg);

/* The descriptor handler of a running transfer (arg: its dBTransState),
 * registered by db_send and db_recv; each event moves up to about 64 KiB. */
ZN_EXPORT void db_fd_event(int fd, void *arg, int r, int w, int e);

/* Register the console commands "dblist", "dbclose", "dbsave", "dbopen" and
 * "dbdump" through add_cmd (the console's cli_add_cmd; results are
 * ignored), then keep print_func (cli_printf) for their output. Call it
 * once after the console is initialised. "dbsave" and "dbopen" change the
 * data path for good (to the given directory, and to "."). */
ZN_EXPORT void db_register_cmds(int (*add_cmd)(char *cmd, char *usage, char *desc,
                                               int (*handler)(int argc, char **argv),
                                               ulong_t flags),
                                int (*print_func)(char *fmt, ...));

/* The "dbdump" command: argv[1] names a database, whose header line goes to
 * standard output and whose records are dumped through the print function
 * of db_register_cmds (nothing before it ran); moves the record cursor to
 * the last record. Returns -1 unless argc is 2, else 0 (also when no
 * database has that name: "No database found by that name"). */
ZN_EXPORT int db_cmd_dbdump(int argc, char **argv);

#endif /* ZNDB_STANDALONE */

/* ---- Dumps. ---- */

/* Print one record through print_func: "Dumping Record, %ld paramaters\r\n",
 * then "Param %ld: %ld <\"%s\">\r\n" per parameter (number, length, text up
 * to its first NUL, cut to 2047 bytes). Null dbi or print_func: nothing. */
ZN_EXPORT void db_dump(DataBaseInfo *dbi, int (*print_func)(char *fmt, ...));

/* Print parameter param (as db_param_recall counts) of every record on
 * standard output, 14 records on the first page and 15 on each later one;
 * before each further page it prints "-- Press Return for more --" and
 * reads a line of up to 4 characters from standard input. Records without
 * that parameter print nothing but count. Null db: nothing. */
ZN_EXPORT void db_dump_param(DataBase *db, int param);

#ifdef __cplusplus
}
#endif

#endif /* ZN_ZNDB_H */
