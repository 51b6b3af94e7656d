// The foundation library.
#pragma once

#include <vsk/utils/array.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/registry.h>
#include <vsk/utils/string.h>
#include <vsk/utils/system.h>
#include <vsk/utils/systemInfo.h>
#include <vsk/utils/zip.h>
