list(APPEND ONDALINE_CORE_SOURCES
    src/player/cvbass.h src/player/cvbass.cpp
    src/player/cvdevices.h src/player/cvdevices.cpp
    src/player/cvengine_p.h src/player/cvengine.cpp
    src/player/cvinput_p.h src/player/cvinput.cpp
    src/player/cvnetworkaccessmanager.h src/player/cvnetworkaccessmanager.cpp
    src/player/cvplayer.h src/player/cvplayer.cpp
    src/player/cvqueuedcall.h
    src/player/cvreconnectdelay.h src/player/cvreconnectdelay.cpp
    src/player/cvurl.h src/player/cvurl.cpp)
