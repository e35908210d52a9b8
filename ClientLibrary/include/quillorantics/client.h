/*
 * Client of the Quillorantics sample-file server, for plug-ins and hosts.
 *
 * A client registers with the one server process of the user (starting it
 * when none runs), sends the list of sample files it uses, waits until
 * none is left to load, and then maps each file's channels, which the
 * server holds once for every client, as 32-bit float samples.
 *
 * Conventions:
 * - Functions returning int return 0 (QSF_OK) or a negative status;
 *   qsf_status_text() gives a sentence for each.
 * - "Any thread" means any thread, also several at once, unless a call on
 *   the same object is said to need one thread at a time.
 * - Callbacks run on threads of the library, never inside the call that
 *   set them. A callback must not destroy the client that runs it.
 * - Nothing the library does writes to the process's standard output or
 *   standard error; it reports through the log callback.
 * - Blocking times are upper bounds with the default options; they scale
 *   with qsf_options.message_timeout_seconds and .connect_seconds.
 */
#ifndef QUILLORANTICS_CLIENT_H
#define QUILLORANTICS_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(QSF_BUILDING_LIBRARY)
#define QSF_API __attribute__((visibility("default")))
#else
#define QSF_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Statuses ---- */

enum {
    QSF_OK = 0,
    QSF_ERR_SEND_TIMEOUT = -1,         /* the server did not take a message in time */
    QSF_ERR_RECEIVE_TIMEOUT = -2,      /* the server did not answer in time */
    QSF_ERR_CONNECTION_CLOSED = -3,    /* the connection to the server is closed */
    QSF_ERR_TRANSPORT = -4,            /* a message could not be passed on */
    QSF_ERR_SERVER_WENT_AWAY = -5,     /* the server ended while an answer was awaited */
    QSF_ERR_UNSENDABLE = -7,           /* nothing to send */
    QSF_ERR_NO_OWN_PORT = -20,         /* the client's own message port could not be made */
    QSF_ERR_NO_SERVER = -21,           /* no server serves and none began serving in time */
    QSF_ERR_NOT_CONNECTED = -22,       /* not connected (yet, or any more) */
    QSF_ERR_BAD_ARGUMENT = -23,        /* a null pointer, bad channel, or an unsendable path */
    QSF_ERR_UNEXPECTED_REPLY = -24,    /* the server answered with a reply of the wrong size */
    QSF_ERR_NO_SEGMENT = -25,          /* no shared memory holds that file */
    QSF_ERR_FRAME_COUNT_MISMATCH = -26,/* the file holds another number of frames than expected */
    QSF_ERR_LIST_TOO_LONG = -27,       /* more files than the server takes in one list */
    QSF_ERR_CONNECTING = -28,          /* a connection is being made */
    QSF_ERR_STILL_LOADING = -29,       /* files of the list are still loading */
    QSF_ERR_SERVER_NOT_FOUND = -30,    /* no server executable was found (see qsf_client_last_error) */
    QSF_ERR_OUT_OF_MEMORY = -31,       /* the library could not allocate memory */
    QSF_ERR_OVER_LIMIT = -32,          /* the server refused: it would hold more than its limits allow */
    QSF_ERR_NOT_REGISTERED = -33       /* the server does not know this client */
};

/* The largest number of files in one list (qsf_client_send_list). */
#define QSF_MAX_LIST_ENTRIES 100000
/* A frame count that asks for the whole file. */
#define QSF_WHOLE_FILE INT32_MAX
/* qsf_file_attach: accept whatever number of frames the file holds. */
#define QSF_ANY_FRAME_COUNT (-1)
/* Environment variable that names the server executable to start. */
#define QSF_SERVER_VARIABLE "QUILLORANTICS_SERVER"

/* A sentence for a status; a static string (never freed). Any thread; never blocks. */
QSF_API const char *qsf_status_text(int status);

/* The library's version, "major.minor.patch"; a static string. Any thread; never blocks. */
QSF_API const char *qsf_version(void);

/* ---- Log ---- */

enum { QSF_LOG_DEBUG = 0, QSF_LOG_INFO = 1, QSF_LOG_WARNING = 2, QSF_LOG_ERROR = 3 };

/* Receives one line (no line end) that is valid only during the call. It
 * runs on whichever library or caller thread logs, possibly on several at
 * once; it must return quickly and must not call into the library. */
typedef void (*qsf_log_fn)(void *user_data, int level, const char *line);

/* Installs the log callback of this copy of the library, for every client
 * (NULL: lines are dropped, the default). Any thread; never blocks beyond a
 * short internal lock. Lines being delivered finish with the old callback. */
QSF_API void qsf_set_log_callback(qsf_log_fn callback, void *user_data);

/* ---- Clients ---- */

typedef struct qsf_client qsf_client;

typedef struct qsf_options {
    /* Server executable to start when none serves; NULL or "": searched, in
     * this order: the QUILLORANTICS_SERVER environment variable, the
     * installed location, beside this library, the folders on PATH. The
     * caller keeps ownership; it is copied by qsf_client_create. */
    const char *server_executable;
    /* Non-zero: start a server when none serves (default 1). */
    int start_server;
    /* Non-zero: when the server goes away, reach (start) a new one,
     * register again and resend the current list (default 1). */
    int auto_reconnect;
    /* How long one connection attempt keeps trying (default 5.0 s). */
    double connect_seconds;
    /* Send and receive time-out of each message (default 5.0 s). */
    double message_timeout_seconds;
} qsf_options;

/* Fills *options with the defaults. Any thread; never blocks. */
QSF_API void qsf_options_init(qsf_options *options);

/* A new client, not connected (options NULL: the defaults). Returns NULL
 * when out of memory. The caller owns it and frees it with
 * qsf_client_destroy. Any thread; never blocks. */
QSF_API qsf_client *qsf_client_create(const qsf_options *options);

/* Leaves the server when registered and frees the client. Any thread but
 * never inside one of this client's callbacks; no other call on the client
 * may run at the same time. A connection attempt under way is abandoned
 * within about 0.1 s, unless it is just registering; blocks for at most two
 * message time-outs (10 s), usually for well under a millisecond. NULL:
 * nothing. */
QSF_API void qsf_client_destroy(qsf_client *client);

/* The client's name (its port name), owned by the client and valid until
 * qsf_client_destroy. Any thread; never blocks. */
QSF_API const char *qsf_client_name(const qsf_client *client);

enum {
    QSF_STATE_IDLE = 0,         /* not connected, nothing under way */
    QSF_STATE_CONNECTING = 1,   /* qsf_client_connect_async is under way */
    QSF_STATE_CONNECTED = 2,    /* registered with a server */
    QSF_STATE_FAILED = 3,       /* the last attempt failed (see the status) */
    QSF_STATE_RECONNECTING = 4  /* the server went away; a new one is being reached */
};

/* Runs on the client's supervisor thread when qsf_client_connect_async or a
 * reconnection ends: state QSF_STATE_CONNECTED (status 0) or
 * QSF_STATE_FAILED (a negative status). */
typedef void (*qsf_connection_fn)(void *user_data, int state, int status);
/* Runs on a library thread; see each setter. */
typedef void (*qsf_event_fn)(void *user_data);

/* Set these before connecting; one thread at a time per client. Never block. */
QSF_API void qsf_client_set_connection_callback(qsf_client *client, qsf_connection_fn callback, void *user_data);
/* Runs on the supervisor thread when the server went away while connected,
 * before the automatic reconnection starts. Mappings already attached stay
 * valid. */
QSF_API void qsf_client_set_server_gone_callback(qsf_client *client, qsf_event_fn callback, void *user_data);
/* Runs on the client's port thread each time the server reports that a
 * loading pass is over (a good moment to ask the progress, from another
 * thread: the callback itself must not block). */
QSF_API void qsf_client_set_loading_finished_callback(qsf_client *client, qsf_event_fn callback,
                                                      void *user_data);

/* Starts connecting on the supervisor thread and returns at once: QSF_OK, or
 * QSF_ERR_CONNECTING when an attempt is under way (QSF_OK when connected
 * already). The result comes to the connection callback and to
 * qsf_client_state. Any thread, one at a time per client; never blocks. */
QSF_API int qsf_client_connect_async(qsf_client *client);

/* Connects and waits: for command-line tools, not for a host's threads.
 * Blocks for at most connect_seconds plus one message time-out (10 s).
 * One thread at a time per client. */
QSF_API int qsf_client_connect(qsf_client *client);

/* The current QSF_STATE_*; *status_out (may be NULL) receives the status of
 * the last connection attempt. Any thread; never blocks beyond a short
 * internal lock. */
QSF_API int qsf_client_state(const qsf_client *client, int *status_out);

/* Copies a sentence about the last failure to connect into buffer (size
 * bytes, NUL-terminated, cut when too short); it names the places searched
 * when no server executable was found. Returns the sentence's full length
 * (0: none). Any thread; never blocks. */
QSF_API size_t qsf_client_last_error(const qsf_client *client, char *buffer, size_t size);

/* The process id of the server connected to; 0 when not connected. Any thread; never blocks. */
QSF_API int qsf_client_server_pid(const qsf_client *client);

/* Sends the list of sample files in use: count paths (absolute, as the
 * files will be asked for later) and the frames wanted of each
 * (QSF_WHOLE_FILE for all; frame_counts NULL: all of every file). It
 * replaces the previous list; count 0 says that no file is in use. The
 * caller keeps its arrays; they are copied. Refused before anything is
 * sent: more than QSF_MAX_LIST_ENTRIES files (QSF_ERR_LIST_TOO_LONG), a
 * NULL path or one too long for a message (QSF_ERR_BAD_ARGUMENT). While a
 * connection is being made the list is kept and sent once connected
 * (QSF_ERR_CONNECTING). One thread at a time per client; blocks for at most
 * one message time-out per 300 files. */
QSF_API int qsf_client_send_list(qsf_client *client, const char *const *paths, const int32_t *frame_counts,
                                 size_t count);

/* Asks how many files of the current list are not loaded yet (0: all are
 * loaded or failed). QSF_ERR_CONNECTING while (re)connecting;
 * QSF_ERR_CONNECTION_CLOSED once the server went away without automatic
 * reconnection. One thread at a time per client; blocks for at most one
 * message time-out (5 s), usually well under a millisecond. */
QSF_API int qsf_client_get_progress(qsf_client *client, int32_t *remaining);

typedef struct qsf_file_outcome {
    int loaded;        /* non-zero: the server holds the file's samples */
    int32_t channels;  /* 1 or 2 when loaded, else 0 */
    int32_t frames;    /* frames held when loaded, else 0 */
} qsf_file_outcome;

/* Once progress is 0: the outcome of each file of the current list, in its
 * order, into outcomes[0 .. count-1] (the caller's array; entries past the
 * list's length are zeroed). QSF_ERR_STILL_LOADING while files remain. One
 * thread at a time per client; blocks for at most one message time-out,
 * then maps and unmaps each file once (system calls, no waiting). */
QSF_API int qsf_client_get_outcomes(qsf_client *client, qsf_file_outcome *outcomes, size_t count);

/* Leaves the server; the client may connect again later. One thread at a
 * time per client; blocks for at most one message time-out. */
QSF_API int qsf_client_leave(qsf_client *client);

/* ---- Files ---- */

typedef struct qsf_file qsf_file;

/* Maps every channel of the file at path (as written in the list) read-only.
 * expected_frames: the frames the file must hold, or QSF_ANY_FRAME_COUNT.
 * Returns the mapping, owned by the caller until qsf_file_detach, or NULL
 * with *status_out (may be NULL) set. The samples are complete once the
 * progress is 0. Any thread, but not a real-time one: it makes system
 * calls and allocates; it never waits for the server or for a lock. */
QSF_API qsf_file *qsf_file_attach(const char *path, int32_t expected_frames, int *status_out);

/* Unmaps the file and frees the handle. Any thread not reading its samples;
 * makes system calls. NULL: nothing. */
QSF_API void qsf_file_detach(qsf_file *file);

/* Channels mapped (1 or 2), frames per channel, and the samples of one
 * channel (frames floats, frame 0 first; NULL for a channel not held). The
 * memory stays valid until qsf_file_detach, also when the server ends.
 * Any thread, real-time threads included: plain memory reads, no system
 * call, no lock, no allocation. */
QSF_API int qsf_file_channels(const qsf_file *file);
QSF_API int32_t qsf_file_frames(const qsf_file *file);
QSF_API const float *qsf_file_samples(const qsf_file *file, int channel);

#ifdef __cplusplus
}
#endif

#endif /* QUILLORANTICS_CLIENT_H */
