// RhRendezvous: a polling barrier for a group of registered members.
//
// A cycle: clear(), each member registerMember(), the coordinator
// closeMembership(), each member arrive()s; all are released together once
// every member has arrived, or at once when the cycle is abandon()ed. The
// next cycle starts with clear(), after which members register again.
//
// Locking rules:
//   memberLock guards the member list (the RhIntArray base), membershipOpen
//   and the updates of arrived.
//   gateLock guards the test-and-close of the gate by waiting members.
//   Only clear() holds both, taking gateLock inside memberLock; nothing takes
//   them in the other order.
//   gate, arrived and abandoned are atomics so that waiting members can poll
//   them without a lock; they re-read the member count under memberLock.
#pragma once

#include <atomic>
#include <pthread.h>

#include "RhDynArray.h"

struct RhRendezvousTicket {
    int ticketNumber = -1;  // assigned by registerMember
};

class RhRendezvous : public RhIntArray {
public:
    // Tickets are numbered from 0 up to kMaxMembers - 1.
    static constexpr int kMaxMembers = 1000;

    // An empty member list, both locks, then clear().
    RhRendezvous();
    ~RhRendezvous() override;
    RhRendezvous(const RhRendezvous&) = delete;
    RhRendezvous& operator=(const RhRendezvous&) = delete;

    // Starts a new cycle: no members, membership open, nobody arrived, gate
    // closed, not abandoned. (Overrides the array's clear, so it returns
    // nothing.)
    void clear() override;
    // Gives ticket the smallest free number from 0 up and registers it.
    // False when membership is closed, or when all kMaxMembers numbers are
    // taken (the ticket then holds kMaxMembers).
    bool registerMember(RhRendezvousTicket* ticket);
    // Removes the member holding ticket's number; true when it was found.
    bool unregisterMember(RhRendezvousTicket* ticket);
    // The same for a caller that already holds the member lock.
    bool unregisterMemberNoLock(RhRendezvousTicket* ticket);
    // Closes membership; when every member has already arrived, opens the
    // gate. True unless the cycle was abandoned.
    bool closeMembership();
    // Counts this member as arrived and waits until every member has arrived
    // (polling once a millisecond). True when the cycle completed, false
    // when it was abandoned.
    bool arrive(RhRendezvousTicket* ticket);
    // Ends the cycle early: every waiting and later arriving member is
    // released with false until the next clear(). Returns 1.
    int abandon();

private:
    // The member count, read under the member lock.
    int memberCount();
    // Under the gate lock: when the gate is open, closes it and returns true.
    bool passGate();

    int membershipOpen;
    pthread_mutex_t memberLock;
    std::atomic<int> gate;  // 1 closed, 0 open
    pthread_mutex_t gateLock;
    std::atomic<int> arrived;
    std::atomic<int> abandoned;
};
