# The sources of each library, one list for every build that compiles them:
# the Linux build (the top CMakeLists.txt, which the fuzz build is part of)
# and the Windows cross build (win/). A source file that is not named here is
# not built anywhere. Include after project(), which sets WIN32.
get_filename_component(_src ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# jlib, the base library. Its socket layer has a Winsock half of its own.
set(JLIB_SOURCES
  ${_src}/jlib/bcore.cpp
  ${_src}/jlib/EventUtil.cpp
  ${_src}/jlib/jlang.cpp
  ${_src}/jlib/jniutils.cpp
  ${_src}/jlib/SocketUtil.cpp
  ${_src}/jlib/SoundUtil.cpp
  ${_src}/jlib/ThreadDispatcher.cpp)
if(WIN32)
  list(APPEND JLIB_SOURCES ${_src}/jlib/SocketUtilWin.cpp)
endif()

# jlib's G.711 codec. Nothing calls it, yet the Linux libraries carry it (its
# tables fill at load), so it is given to each of them whole rather than left
# in the static jlib for the linker to drop. The Windows builds leave it out.
set(JLIB_CODEC_SOURCES "")
if(NOT WIN32)
  set(JLIB_CODEC_SOURCES ${_src}/jlib/Codec.cpp)
endif()

# mediarelay: the engine, and the JNI exports on top of it.
set(RELAY_CORE_SOURCES
  ${_src}/mediarelay/RTPex.cpp
  ${_src}/mediarelay/SRTPInfo.cpp)
set(RELAY_JNI_SOURCES
  ${_src}/mediarelay/com_tavindo_net_sip_sv_rtp_RTPexJNI.cpp)

# sysaux, the utility library.
set(SYSAUX_SOURCES
  ${_src}/sysaux/crypto.cpp
  ${_src}/sysaux/ProcessInfo.cpp)
