#include "RhRendezvous.h"

#include <unistd.h>

RhRendezvous::RhRendezvous() : membershipOpen(1), gate(1), arrived(0), abandoned(0) {
    pthread_mutex_init(&memberLock, nullptr);
    pthread_mutex_init(&gateLock, nullptr);
    clear();
}

RhRendezvous::~RhRendezvous() {
    pthread_mutex_destroy(&gateLock);
    pthread_mutex_destroy(&memberLock);
}

void RhRendezvous::clear() {
    pthread_mutex_lock(&memberLock);
    pthread_mutex_lock(&gateLock);
    RhIntArray::clear();
    membershipOpen = 1;
    arrived = 0;
    gate = 1;
    abandoned = 0;
    pthread_mutex_unlock(&gateLock);
    pthread_mutex_unlock(&memberLock);
}

bool RhRendezvous::registerMember(RhRendezvousTicket* ticket) {
    if (!ticket) return false;
    pthread_mutex_lock(&memberLock);
    bool registered = false;
    if (membershipOpen) {
        // One pass over the members marks the numbers in use.
        bool taken[kMaxMembers] = {};
        for (int i = 0; i < getCount(); ++i) {
            int held = getIthInt(static_cast<unsigned>(i));
            if (held >= 0 && held < kMaxMembers) taken[held] = true;
        }
        int number = 0;
        while (number < kMaxMembers && taken[number]) ++number;
        ticket->ticketNumber = number;
        if (number < kMaxMembers) registered = appendInt(number) != nullptr;
    }
    pthread_mutex_unlock(&memberLock);
    return registered;
}

bool RhRendezvous::unregisterMember(RhRendezvousTicket* ticket) {
    pthread_mutex_lock(&memberLock);
    bool found = unregisterMemberNoLock(ticket);
    pthread_mutex_unlock(&memberLock);
    return found;
}

bool RhRendezvous::unregisterMemberNoLock(RhRendezvousTicket* ticket) {
    if (!ticket) return false;
    int number = ticket->ticketNumber;
    int index = findIndex(&number);
    if (index < 0) return false;
    deleteElement(index);
    return true;
}

bool RhRendezvous::closeMembership() {
    pthread_mutex_lock(&memberLock);
    membershipOpen = 0;
    if (arrived >= getCount()) gate = 0;
    pthread_mutex_unlock(&memberLock);
    return !abandoned;
}

int RhRendezvous::memberCount() {
    pthread_mutex_lock(&memberLock);
    int members = getCount();
    pthread_mutex_unlock(&memberLock);
    return members;
}

bool RhRendezvous::passGate() {
    pthread_mutex_lock(&gateLock);
    bool open = gate == 0;
    if (open) gate = 1;
    pthread_mutex_unlock(&gateLock);
    return open;
}

bool RhRendezvous::arrive(RhRendezvousTicket* ticket) {
    pthread_mutex_lock(&memberLock);
    int nowArrived = ++arrived;
    if (!membershipOpen && nowArrived >= getCount()) {
        // The last member: release the others and leave the list.
        gate = 0;
        unregisterMemberNoLock(ticket);
        pthread_mutex_unlock(&memberLock);
        return !abandoned;
    }
    pthread_mutex_unlock(&memberLock);

    while (!passGate()) {
        if (arrived >= memberCount()) break;
        usleep(1000);
    }
    gate = 0;  // let the next waiting member pass
    return !abandoned;
}

int RhRendezvous::abandon() {
    abandoned = 1;
    gate = 0;
    return 1;
}
