// vxplatform.h: the one header through which the library and its hosts reach
// the Win32 subset VexloTool uses. On Windows it pulls in the SDK headers; on
// Linux it declares the same names, implemented in platform/posix/.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <wininet.h>
#include <iphlpapi.h>
#include <objbase.h>
#else
#include "vxplatform/base.h"
#include "vxplatform/synch.h"
#include "vxplatform/thread.h"
#include "vxplatform/winuser.h"
#include "vxplatform/profile.h"
#include "vxplatform/time.h"
#include "vxplatform/wprintf.h"
#include "vxplatform/file.h"
#include "vxplatform/wininet.h"
#include "vxplatform/iphlpapi.h"
// The Winsock names and the system socket headers cannot meet in one
// translation unit (see winsock.h): a Linux file that includes this header
// before libcurl or Boost.Asio defines VXP_NO_WINSOCK first.
#include "vxplatform/winsock.h"
#endif

// Helpers for things that have no Win32 name; the same on both targets.
#include "vxplatform/extras.h"
