list(APPEND NUBO_SOURCES
    security/opensslptr.h
    security/fingerprint.h security/fingerprint.cpp
    security/identity.h security/identity.cpp
    security/pairingcode.h security/pairingcode.cpp
    security/recordgather.h security/recordgather.cpp
    security/tlschannel.h security/tlschannel.cpp
    security/relaybuffer.h security/relaybuffer.cpp
    security/splicepipe.h security/splicepipe.cpp
    security/loopbackpair.h security/loopbackpair.cpp
    security/tlsrelay.h security/tlsrelay.cpp
)
