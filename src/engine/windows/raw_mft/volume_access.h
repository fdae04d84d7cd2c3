// Volume and MFT record access for the scanner, in one include: opening a volume by drive
// letter, its volume data and geometry, records by number (through the file system or raw),
// runs of records for the paged scans, the in-use bitmap, and the per-scan record cache.
#pragma once

#include "engine/windows/raw_mft/record_fetch.h"
#include "engine/windows/raw_mft/record_reader.h"
#include "engine/windows/raw_mft/volume.h"
#include "engine/windows/raw_mft/volume_geometry.h"
