#pragma once
// Module1: the one name under which the windows reach the operating system:
// the product name (os_release.h), the folder scan and same-file test of
// the PST list (file_scan.h), and the pickers and message boxes
// (dialogs.h).

#include "platform/dialogs.h"
#include "platform/file_scan.h"
#include "platform/os_release.h"
