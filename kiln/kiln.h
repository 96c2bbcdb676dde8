// kiln: KCL collision files of MK7, MKDS and MKWii built from Wavefront OBJ
// models, and read back (described, queried, checked, written as OBJ).
//
// The core library (kiln_core) in one include: the games' encodings
// (format.h), the OBJ reader (obj.h), the spatial index (index.h), the
// build and the writer (build.h), the reader of (possibly hostile) KCL files
// (read.h), the reports (report.h) and the files (file.h). Failures are
// thrown as kiln::Error with the text that follows "kiln: FILE: ".
#ifndef KILN_H
#define KILN_H

#include "build.h"
#include "file.h"
#include "format.h"
#include "geometry.h"
#include "index.h"
#include "obj.h"
#include "read.h"
#include "report.h"

#endif
