list(APPEND NUBO_SOURCES
    records/fileidentity.h records/fileidentity.cpp
    records/filehash.h records/filehash.cpp
    records/hashcache.h records/hashcache.cpp
    records/hashcheckpoints.h records/hashcheckpoints.cpp
    records/identityreader.h records/identityreader.cpp
    records/knowndevices.h records/knowndevices.cpp
    records/legacyrecords.h records/legacyrecords.cpp
    records/partialregistry.h records/partialregistry.cpp
    records/recordstore.h records/recordstore.cpp
)
