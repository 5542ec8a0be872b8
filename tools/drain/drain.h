// tembra-drain's parts: its settings, the queue it may create, the follow
// loop and the readiness messages to a service manager.
#pragma once

#include <mqueue.h>

struct Settings {
    bool follow = false;  // keep running and drain lines as they arrive, until SIGINT/SIGTERM
    long depth = 1024;    // how many lines "/mqd" should hold when this drain creates it
};

// The module's Log_Write with its result, Log_Drain's: the queue's attribute
// block, then the drain.
extern "C" long log_write(void);

// Creates "/mqd" as deep as allowed up to depth when it does not exist; says
// in one line when it got less. An existing queue is left as it is.
void create_queue(long depth);

// Opens the queue (creating it first if needed) and the day's file; false
// when either could not be opened (reported).
bool set_up(const Settings &settings);

// Drains as lines arrive until SIGINT or SIGTERM; the exit status.
int follow(const Settings &settings);

// Sends state (e.g. "READY=1") to the service manager at $NOTIFY_SOCKET, if any.
void notify(const char *state);
