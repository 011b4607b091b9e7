list(APPEND ONDALINE_CORE_SOURCES
    src/player/cvaudio_p.h
    src/player/cvbass.h src/player/cvbass.cpp
    src/player/cvchannel_p.h src/player/cvchannel.cpp
    src/player/cvconverter_p.h src/player/cvconverter.cpp
    src/player/cvdevices.h src/player/cvdevices.cpp
    src/player/cvinput_p.h src/player/cvinput.cpp
    src/player/cvmixer_p.h src/player/cvmixer.cpp
    src/player/cvnetworkaccessmanager.h src/player/cvnetworkaccessmanager.cpp
    src/player/cvoutput_p.h src/player/cvoutput.cpp
    src/player/cvplayer.h src/player/cvplayer.cpp
    src/player/cvqueuedcall.h
    src/player/cvrecordinput_p.h src/player/cvrecordinput.cpp
    src/player/cvreconnectdelay.h src/player/cvreconnectdelay.cpp
    src/player/cvstreaminput_p.h src/player/cvstreaminput.cpp
    src/player/cvurl.h src/player/cvurl.cpp)
