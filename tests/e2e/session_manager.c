/*
 * A small X session manager (XSMP, over libSM/libICE) for the end-to-end tests: a test
 * points the program's SESSION_MANAGER at it and then asks the program to end the way a
 * desktop does at logout, with a Die message.
 *
 *   session_manager
 *
 * Standard output, one line each, flushed at once:
 *   the SESSION_MANAGER value to use, as soon as it listens; then one line per event:
 *   CONNECT <n>                          ICE connection number n accepted
 *   REGISTER <id>                        a client registered and was given <id>
 *   REFUSED <previous id>                a client asked for an old id; it retries without
 *   PROPERTIES <id> <name>...            the client set these properties
 *   SAVE_YOURSELF_REQUEST <id> type=T shutdown=S interact=I fast=F global=G
 *   SAVE_YOURSELF sent <id>              (the answer to such a request)
 *   INTERACT_REQUEST <id> dialog=D, INTERACT sent <id>, INTERACT_DONE <id> cancel=C
 *   SAVE_YOURSELF_PHASE2 sent <id>, SAVE_DONE <id> success=S,
 *   SAVE_COMPLETE sent <id>, SHUTDOWN_CANCELLED sent <id>
 *   DIE sent <id>                        for each registered client on "die"
 *   DIE none                             "die" with no client registered
 *   CLOSE <id>                           the client's connection closed ("-" for a
 *                                        connection that never registered)
 * Standard input, one command a line:
 *   die                                  sends Die to every registered client
 * End of standard input, SIGTERM or SIGINT close every connection and end it (status 0).
 *
 * Reach: libICE opens TCP listeners on every interface unless told otherwise, and
 * IceListenForConnections takes no transport argument; so the TCP transports and the
 * file-system unix socket are switched off before it (_IceTransNoListen, exported by
 * libICE), which leaves the "local/" transport only: a Linux abstract unix socket,
 * "@/tmp/.ICE-unix/<pid>", reachable from this network namespace and nowhere else, and
 * leaving no file behind. A listener of any other kind is an error.
 *
 * Authentication: none beyond that. Without an ICE authority file a client offers no
 * authentication, and both the ICE connection and the session protocol fall back to
 * host-based authentication, which here accepts every peer that came in over the local
 * transport. Any process in this network namespace could connect; it would only be told
 * to save or to die itself.
 */
#define _GNU_SOURCE

#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// Xtrans' switch for one transport, exported by libICE but not declared in its headers.
int _IceTransNoListen(const char* protocol);

enum { kMaxConnections = 32, kMaxListeners = 4 };

struct Connection {
    IceConn ice;     // NULL: the slot is free
    SmsConn sms;     // set once the client starts the session protocol
    char* id;        // set once it registered
    int number;      // in order of acceptance, for the log
    bool saving;     // a SaveYourself was sent and its SaveYourselfDone is due
    bool shutdown;   // ... and that save is for a shutdown
    bool cancelled;  // ... which the client cancelled during interaction
    bool broken;     // a fatal protocol error: close after the current message
};

static struct Connection connections[kMaxConnections];
static volatile sig_atomic_t stop_requested;

__attribute__((format(printf, 1, 2))) static void event(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    fflush(stdout);
}

static const char* name_of(const struct Connection* connection) {
    return connection->id ? connection->id : "-";
}

static struct Connection* find(IceConn ice) {
    for (int i = 0; i < kMaxConnections; ++i) {
        if (connections[i].ice == ice && ice != NULL) {
            return &connections[i];
        }
    }
    return NULL;
}

// Ends the connection (unless libICE has freed it already) and frees its slot. Called
// from a callback inside IceProcessMessages, libICE frees the connection once that call
// returns.
static void drop(struct Connection* connection, bool freed) {
    event("CLOSE %s", name_of(connection));
    if (!freed) {
        if (connection->sms) {
            SmsCleanUp(connection->sms);
        }
        IceSetShutdownNegotiation(connection->ice, False);
        IceCloseConnection(connection->ice);
    }
    free(connection->id);
    memset(connection, 0, sizeof *connection);
}

// ---- session protocol callbacks -----------------------------------------------------------

static Status on_register_client(SmsConn sms, SmPointer data, char* previous_id) {
    struct Connection* connection = data;
    if (previous_id) {
        // A fresh manager knows no earlier session: libSM answers BadValue and the client
        // registers again without an id.
        event("REFUSED %s", previous_id);
        free(previous_id);
        return 0;
    }
    char* id = SmsGenerateClientID(sms);  // "2" and a UUID
    if (!id || !SmsRegisterClientReply(sms, id)) {
        fprintf(stderr, "session_manager: no client id to give\n");
        free(id);
        return 0;
    }
    connection->id = id;
    event("REGISTER %s", id);
    return 1;
}

// Only the asking client is told to save, also for a global request: the tests run one
// client at a time.
static void on_save_yourself_request(SmsConn sms, SmPointer data, int type, Bool shutdown,
                                     int interact, Bool fast, Bool global) {
    struct Connection* connection = data;
    event("SAVE_YOURSELF_REQUEST %s type=%d shutdown=%d interact=%d fast=%d global=%d",
          name_of(connection), type, shutdown, interact, fast, global);
    if (!connection->id || connection->saving) {
        return;
    }
    SmsSaveYourself(sms, type, shutdown, interact, fast);
    connection->saving = true;
    connection->shutdown = shutdown;
    connection->cancelled = false;
    event("SAVE_YOURSELF sent %s", connection->id);
}

static void on_interact_request(SmsConn sms, SmPointer data, int dialog) {
    struct Connection* connection = data;
    event("INTERACT_REQUEST %s dialog=%d", name_of(connection), dialog);
    SmsInteract(sms);
    event("INTERACT sent %s", name_of(connection));
}

static void on_interact_done(SmsConn sms, SmPointer data, Bool cancel) {
    (void)sms;
    struct Connection* connection = data;
    event("INTERACT_DONE %s cancel=%d", name_of(connection), cancel);
    if (cancel) {
        connection->cancelled = true;
    }
}

static void on_save_yourself_phase2_request(SmsConn sms, SmPointer data) {
    struct Connection* connection = data;
    SmsSaveYourselfPhase2(sms);
    event("SAVE_YOURSELF_PHASE2 sent %s", name_of(connection));
}

static void on_save_yourself_done(SmsConn sms, SmPointer data, Bool success) {
    struct Connection* connection = data;
    event("SAVE_DONE %s success=%d", name_of(connection), success);
    bool shutdown = connection->shutdown;
    bool cancelled = connection->cancelled;
    connection->saving = connection->shutdown = connection->cancelled = false;
    if (shutdown && cancelled) {
        SmsShutdownCancelled(sms);
        event("SHUTDOWN_CANCELLED sent %s", name_of(connection));
    } else if (!shutdown) {
        SmsSaveComplete(sms);
        event("SAVE_COMPLETE sent %s", name_of(connection));
    }
    // A save for a shutdown is followed by Die, which the test sends when it wants.
}

static void on_close_connection(SmsConn sms, SmPointer data, int count, char** reasons) {
    (void)sms;
    SmFreeReasons(count, reasons);
    drop(data, false);
}

static void on_set_properties(SmsConn sms, SmPointer data, int count, SmProp** properties) {
    (void)sms;
    struct Connection* connection = data;
    printf("PROPERTIES %s", name_of(connection));
    for (int i = 0; i < count; ++i) {
        printf(" %s", properties[i]->name);
        SmFreeProperty(properties[i]);
    }
    free(properties);
    putchar('\n');
    fflush(stdout);
}

static void on_delete_properties(SmsConn sms, SmPointer data, int count, char** names) {
    (void)sms;
    (void)data;
    for (int i = 0; i < count; ++i) {
        free(names[i]);
    }
    free(names);
}

static void on_get_properties(SmsConn sms, SmPointer data) {
    (void)data;
    SmsReturnProperties(sms, 0, NULL);  // none are kept
}

static Status on_new_client(SmsConn sms, SmPointer data, unsigned long* mask,
                            SmsCallbacks* callbacks, char** failure) {
    (void)data;
    struct Connection* connection = find(SmsGetIceConnection(sms));
    if (!connection || connection->sms) {
        *failure = strdup("unknown connection");
        return 0;
    }
    connection->sms = sms;
    memset(callbacks, 0, sizeof *callbacks);
#define ANSWER(field, function)           \
    callbacks->field.callback = function; \
    callbacks->field.manager_data = connection
    ANSWER(register_client, on_register_client);
    ANSWER(interact_request, on_interact_request);
    ANSWER(interact_done, on_interact_done);
    ANSWER(save_yourself_request, on_save_yourself_request);
    ANSWER(save_yourself_phase2_request, on_save_yourself_phase2_request);
    ANSWER(save_yourself_done, on_save_yourself_done);
    ANSWER(close_connection, on_close_connection);
    ANSWER(set_properties, on_set_properties);
    ANSWER(delete_properties, on_delete_properties);
    ANSWER(get_properties, on_get_properties);
#undef ANSWER
    *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
            SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask |
            SmsSaveYourselfDoneProcMask | SmsCloseConnectionProcMask | SmsSetPropertiesProcMask |
            SmsDeletePropertiesProcMask | SmsGetPropertiesProcMask;
    return 1;
}

// ---- errors and authentication ------------------------------------------------------------

static Bool accept_local_peer(char* host) {
    // Only the local transport listens, so every peer is local; the check keeps it so.
    if (host && strncmp(host, "local/", 6) == 0) {
        return True;
    }
    fprintf(stderr, "session_manager: refused peer %s\n", host ? host : "(unknown)");
    return False;
}

// libICE's own handlers end the process; a client that misbehaves or vanishes must only
// lose its connection.
static void on_ice_io_error(IceConn ice) {
    (void)ice;
}

static void note_error(IceConn ice, const char* protocol, int minor, int error_class,
                       int severity) {
    fprintf(stderr, "session_manager: %s error class %d on message %d, severity %d\n", protocol,
            error_class, minor, severity);
    struct Connection* connection = find(ice);
    if (connection && severity != IceCanContinue) {
        connection->broken = true;
    }
}

static void on_ice_error(IceConn ice, Bool swap, int minor, unsigned long sequence, int error_class,
                         int severity, IcePointer values) {
    (void)swap, (void)sequence, (void)values;
    note_error(ice, "ICE", minor, error_class, severity);
}

static void on_sm_error(SmsConn sms, Bool swap, int minor, unsigned long sequence, int error_class,
                        int severity, SmPointer values) {
    (void)swap, (void)sequence, (void)values;
    note_error(SmsGetIceConnection(sms), "session", minor, error_class, severity);
}

// ---- the loop -----------------------------------------------------------------------------

static void on_stop_signal(int signal_number) {
    (void)signal_number;
    stop_requested = 1;
}

static void accept_connection(IceListenObj listener) {
    static int accepted;
    IceAcceptStatus status;
    IceConn ice = IceAcceptConnection(listener, &status);
    if (!ice) {
        fprintf(stderr, "session_manager: accepting a connection failed (%d)\n", status);
        return;
    }
    struct Connection* connection = NULL;
    for (int i = 0; i < kMaxConnections && !connection; ++i) {
        if (!connections[i].ice) {
            connection = &connections[i];
        }
    }
    if (!connection) {
        fprintf(stderr, "session_manager: too many connections\n");
        IceCloseConnection(ice);
        return;
    }
    connection->ice = ice;
    connection->number = ++accepted;
    event("CONNECT %d", connection->number);
}

static void serve(struct Connection* connection) {
    IceProcessMessagesStatus status = IceProcessMessages(connection->ice, NULL, NULL);
    if (!connection->ice) {
        return;  // the client's CloseConnection has dropped it
    }
    if (status == IceProcessMessagesConnectionClosed) {
        drop(connection, true);
    } else if (status == IceProcessMessagesIOError || connection->broken ||
               IceConnectionStatus(connection->ice) == IceConnectRejected) {
        drop(connection, false);
    }
}

static void send_die(void) {
    bool any = false;
    for (int i = 0; i < kMaxConnections; ++i) {
        if (connections[i].id) {
            SmsDie(connections[i].sms);
            event("DIE sent %s", connections[i].id);
            any = true;
        }
    }
    if (!any) {
        event("DIE none");
    }
}

// Reads what stdin has; returns false on its end.
static bool read_commands(void) {
    static char line[256];
    static size_t length;
    char chunk[256];
    ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0) {
        return errno == EINTR || errno == EAGAIN;
    }
    if (got == 0) {
        return false;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (chunk[i] != '\n') {
            if (length + 1 < sizeof line) {
                line[length++] = chunk[i];
            }
            continue;
        }
        line[length] = '\0';
        length = 0;
        if (strcmp(line, "die") == 0) {
            send_die();
        } else if (line[0]) {
            fprintf(stderr, "session_manager: unknown command \"%s\"\n", line);
        }
    }
    return true;
}

int main(void) {
    char error[256] = "";
    IceSetIOErrorHandler(on_ice_io_error);
    IceSetErrorHandler(on_ice_error);
    SmsSetErrorHandler(on_sm_error);
    if (!SmsInitialize("Glowtern tests", "1.0", on_new_client, NULL, accept_local_peer,
                       sizeof error, error)) {
        fprintf(stderr, "session_manager: SmsInitialize failed: %s\n", error);
        return 1;
    }

    const char* const closed_transports[] = {"tcp", "inet", "inet6", "unix"};
    for (size_t i = 0; i < sizeof closed_transports / sizeof closed_transports[0]; ++i) {
        _IceTransNoListen(closed_transports[i]);
    }
    int count = 0;
    IceListenObj* listeners = NULL;
    if (!IceListenForConnections(&count, &listeners, sizeof error, error)) {
        fprintf(stderr, "session_manager: cannot listen: %s\n", error);
        return 1;
    }
    bool only_local = count > 0 && count <= kMaxListeners;
    for (int i = 0; i < count; ++i) {
        char* name = IceGetListenConnectionString(listeners[i]);
        if (!name || strncmp(name, "local/", 6) != 0) {
            fprintf(stderr, "session_manager: unexpected listener %s\n", name ? name : "?");
            only_local = false;
        }
        free(name);
        IceSetHostBasedAuthProc(listeners[i], accept_local_peer);
    }
    if (!only_local) {
        IceFreeListenObjs(count, listeners);
        fprintf(stderr, "session_manager: no local transport only (%d listeners)\n", count);
        return 1;
    }

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    signal(SIGPIPE, SIG_IGN);  // a client gone mid-write is an I/O error, not our end
    // The stop signals only arrive inside ppoll, so none is lost between checks.
    sigset_t blocked, during_poll;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &during_poll);
    sigdelset(&during_poll, SIGTERM);
    sigdelset(&during_poll, SIGINT);

    char* network_ids = IceComposeNetworkIdList(count, listeners);
    event("%s", network_ids);
    free(network_ids);

    bool input_open = true;
    while (input_open && !stop_requested) {
        struct pollfd fds[1 + kMaxListeners + kMaxConnections];
        struct Connection* owners[kMaxConnections];
        nfds_t used = 0;
        fds[used++] = (struct pollfd){.fd = STDIN_FILENO, .events = POLLIN};
        for (int i = 0; i < count; ++i) {
            fds[used++] =
                (struct pollfd){.fd = IceGetListenConnectionNumber(listeners[i]), .events = POLLIN};
        }
        int served = 0;
        for (int i = 0; i < kMaxConnections; ++i) {
            if (connections[i].ice) {
                owners[served++] = &connections[i];
                fds[used++] = (struct pollfd){.fd = IceConnectionNumber(connections[i].ice),
                                              .events = POLLIN};
            }
        }
        if (ppoll(fds, used, NULL, &during_poll) < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("session_manager: poll");
            break;
        }
        if (fds[0].revents) {
            input_open = read_commands();
        }
        for (int i = 0; i < count; ++i) {
            if (fds[1 + i].revents) {
                accept_connection(listeners[i]);
            }
        }
        for (int i = 0; i < served; ++i) {
            // A connection dropped while serving an earlier one has left its slot.
            if (fds[1 + count + i].revents && owners[i]->ice) {
                serve(owners[i]);
            }
        }
    }

    for (int i = 0; i < kMaxConnections; ++i) {
        if (connections[i].ice) {
            drop(&connections[i], false);
        }
    }
    IceFreeListenObjs(count, listeners);
    return 0;
}
