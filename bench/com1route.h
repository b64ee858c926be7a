#pragma once

#include <string>
#include <sys/types.h>

// COM1 of the programs started from here, routed to a pseudo-terminal. The tool opens COM1 as
// /dev/ttyS0, which on this machine is a real port (the console) and must never be opened: the
// bench opens a pseudo-terminal and runs itself again under scripts/route-ports, which puts the
// slave over /dev/ttyS0 (and every other serial node to /dev/null) in a mount namespace that
// nothing outside the bench and its children sees. The programs measured are still started by
// the bench itself, directly, in that namespace: the route costs their start-up nothing.
class Com1Route {
  public:
    Com1Route() = default;
    ~Com1Route();
    Com1Route(const Com1Route &) = delete;
    Com1Route &operator=(const Com1Route &) = delete;

    // The first time (before any thread starts): opens the pseudo-terminal and runs the bench
    // again with the same arguments under route-ports, holding both ends open across; returns
    // only when that fails. In the bench so run: takes the ends over and checks that
    // /dev/ttyS0 is the slave. Returns what went wrong, or an empty text.
    std::string enter(char *argv[]);

    // Whether /dev/ttyS0 is the pseudo-terminal now: checked before every start of the tool.
    bool holds() const;

    // Whether the process pid has the pseudo-terminal's slave open: its COM1 really opened.
    bool openedBy(pid_t pid) const;

    // The master side, non-blocking and closed on exec: what the tool writes to COM1 arrives
    // here.
    int masterFd() const { return master_; }

    // Reads and drops whatever waits on the master.
    void drain() const;

    // Removes the lock file of COM1 that a process killed before it could close the port left
    // behind (only in the private /run/lock).
    void removeStaleLock() const;

  private:
    int master_ = -1;
    int slave_ = -1; // held open so the line does not hang up between two runs of the tool
    dev_t slaveDevice_ = 0;
    bool entered_ = false;
};
