// The synthetic program of the RTMP smoke tool, shared rather than copied.
#include "tools/rtmpsmoke/ProgramFeed.cpp"
