/*
 * A minimal X session manager (XSMP over libSM/libICE), so that a test can end the program
 * the way a desktop does at logout. It prints the SESSION_MANAGER value to use, then
 * "REGISTER <id>" when a client registers; a "die" line on standard input sends Die to it.
 * It takes one client at a time and ends on SIGTERM or at the end of its input.
 *
 * libICE would also listen on TCP and on a unix socket file; those transports are switched
 * off (_IceTransNoListen, exported by libICE but in no header), which leaves the abstract
 * unix socket "local/" only: reachable from this network namespace alone.
 */
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int _IceTransNoListen(const char* protocol);

static IceConn connection;
static SmsConn client;  // once it registered

static void drop_client(void) {
    IceConn ice = connection;
    if (client) {
        SmsCleanUp(client);
    }
    client = NULL;
    connection = NULL;
    IceSetShutdownNegotiation(ice, False);
    IceCloseConnection(ice);  // (freed once IceProcessMessages returns)
}

static Status on_register(SmsConn sms, SmPointer data, char* previous_id) {
    free(previous_id);  // a fresh manager knows no earlier session: always a new id
    char* id = SmsGenerateClientID(sms);
    const Status done = id && SmsRegisterClientReply(sms, id);
    if (done) {
        client = sms;
        printf("REGISTER %s\n", id);
        fflush(stdout);
    }
    free(id);
    return done;
}

// libSM calls these without a check: every message a Qt client sends outside a save (it
// neither deletes nor reads properties) needs its callback. No save is asked for.
static void on_save_request(SmsConn sms, SmPointer data, int type, Bool shutdown, int interact,
                            Bool fast, Bool global) {}

static void on_set_properties(SmsConn sms, SmPointer data, int count, SmProp** properties) {
    while (count--) {
        SmFreeProperty(properties[count]);
    }
    free(properties);
}

static void on_close(SmsConn sms, SmPointer data, int count, char** reasons) {
    SmFreeReasons(count, reasons);
    drop_client();
}

static Status on_new_client(SmsConn sms, SmPointer data, unsigned long* mask,
                            SmsCallbacks* callbacks, char** failure) {
    memset(callbacks, 0, sizeof *callbacks);
    callbacks->register_client.callback = on_register;
    callbacks->save_yourself_request.callback = on_save_request;
    callbacks->close_connection.callback = on_close;
    callbacks->set_properties.callback = on_set_properties;
    *mask = ~0UL;
    return 1;
}

static Bool local_peer_only(char* host) {
    return host && strncmp(host, "local/", 6) == 0;
}

static void on_io_error(IceConn ice) {}  // (libICE's own ends the process)

int main(void) {
    char error[256] = "";
    IceSetIOErrorHandler(on_io_error);
    const char* const closed[] = {"tcp", "inet", "inet6", "unix"};
    for (int i = 0; i < 4; ++i) {
        _IceTransNoListen(closed[i]);
    }
    int count = 0;
    IceListenObj* listeners = NULL;
    if (!SmsInitialize("Glowtern tests", "1.0", on_new_client, NULL, local_peer_only, sizeof error,
                       error) ||
        !IceListenForConnections(&count, &listeners, sizeof error, error) || count != 1) {
        fprintf(stderr, "session_manager: not listening on the local transport alone: %s\n", error);
        return 1;
    }
    IceSetHostBasedAuthProc(listeners[0], local_peer_only);
    char* address = IceComposeNetworkIdList(count, listeners);
    printf("%s\n", address);
    fflush(stdout);
    free(address);

    for (;;) {
        struct pollfd fds[3] = {
            {.fd = STDIN_FILENO, .events = POLLIN},
            {.fd = IceGetListenConnectionNumber(listeners[0]), .events = POLLIN},
            {.fd = connection ? IceConnectionNumber(connection) : -1, .events = POLLIN}};
        poll(fds, 3, -1);
        char input[64];
        if (fds[0].revents && read(STDIN_FILENO, input, sizeof input) <= 0) {
            return 0;
        }
        if (fds[0].revents && client) {
            SmsDie(client);  // (the only line the tests send)
        }
        IceAcceptStatus status;
        IceConn ice = fds[1].revents ? IceAcceptConnection(listeners[0], &status) : NULL;
        if (ice && connection) {
            IceCloseConnection(ice);
        } else if (ice) {
            connection = ice;
        }
        if (fds[2].revents && connection &&
            IceProcessMessages(connection, NULL, NULL) != IceProcessMessagesSuccess && connection) {
            drop_client();
        }
    }
}
