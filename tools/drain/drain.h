// tembra-drain's parts: its settings, the queue it may create or take over,
// the follow loop and the readiness messages to a service manager.
#pragma once

#include <mqueue.h>
#include <sys/types.h>

// Who may post to "/mqd"; only the drain's user receives.
struct Posters {
    enum Kind { kOwner, kGroup, kAll } kind = kOwner;
    gid_t group = 0;     // kGroup: the group that may post (the drain's own unless named)
    bool given = false;  // on the command line: also applied to a queue of ours that exists
};

struct Settings {
    bool follow = false;  // keep running and drain lines as they arrive, until SIGINT/SIGTERM
    long depth = 1024;    // how many lines "/mqd" should hold when this drain creates it
    Posters posters;      // who may post to "/mqd" when this drain makes it
};

// The module's Log_Write with its result, Log_Drain's: the queue's attribute
// block, then the drain.
extern "C" long log_write(void);

// Creates "/mqd" as deep as allowed up to depth when it does not exist; says
// in one line when it got less. An existing queue is left as it is. True
// when this call created it.
bool create_queue(long depth);

// Opens the queue (creating it first if needed, or, following, taking over one
// another user made) and the day's file; false when either could not be
// opened or the queue cannot be read (reported, each reason once).
bool set_up(const Settings &settings);

// Drains as lines arrive until SIGINT or SIGTERM; the exit status.
int follow(const Settings &settings);

// Sends state (e.g. "READY=1") to the service manager at $NOTIFY_SOCKET, if any.
void notify(const char *state);
