// What kiln tells about a KCL file: -i, -p, -t and -d.
#ifndef KILN_REPORT_H
#define KILN_REPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "geometry.h"
#include "read.h"

namespace kiln {

// -i: game, counts, bounds, header numbers, index statistics, identifiers;
// the mean list length at the surface from that many points.
std::string describeKcl(const KclFile& kcl, const std::string& name, size_t surfaceSamples = 20000);
// -p: the leaf at p, its prisms, and which of them the game would hit.
std::string queryKcl(const KclFile& kcl, Vec3 p);
// -t: what is wrong beyond what reading checks already (empty when sound):
// header numbers that are not the game's, normals not of unit length,
// prisms of no area, and leaves that lack a prism the game would hit in
// their cube (checkIndexCoverage).
std::vector<std::string> checkKcl(const KclFile& kcl);
void checkIndexCoverage(const KclFile& kcl, std::vector<std::string>& problems);

// -d: the triangles as OBJ, one material kcl_XXXX per identifier, and the
// material library (named mtlName in the OBJ) with a colour per type.
struct ObjExport {
  std::string obj, mtl;
  size_t triangles = 0, vertices = 0, materials = 0;
};
ObjExport exportObj(const KclFile& kcl, const std::string& mtlName, const std::string& source);

// The mean length of the lists that lookups at points spread over the
// prisms' surfaces find (weighted by area), from `samples` points.
double meanListOnSurface(const KclFile& kcl, size_t samples);

}  // namespace kiln

#endif
