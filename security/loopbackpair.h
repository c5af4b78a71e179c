#ifndef LOOPBACKPAIR_H
#define LOOPBACKPAIR_H

// Two ends of one TCP connection over the loopback link, both non-blocking and not handed down to
// programs we start. Unlike a socket pair of the local domain, such a connection carries a reset
// (SO_LINGER 0) as a reset, which is how the protocol spoken over it tells a failure from an end.
// Only our own end of the brief listen is taken: anything else that connects to it is closed.
class LoopbackPair
{
public:
    // False, with errno set, when no such connection could be made.
    static bool make(int *first, int *second);
};

#endif // LOOPBACKPAIR_H
