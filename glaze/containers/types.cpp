// The one list of the container types glaze reads: a new format is its
// unit's file here and one entry below. Types told by name are tried first,
// then each type's magic, both in this order.
#include "container.h"
#include "containers/brres.h"
#include "containers/bti.h"
#include "containers/g3d.h"
#include "containers/j3d.h"
#include "containers/tex0.h"

namespace glaze {

const std::vector<const ContainerType*>& containerTypes() {
  static const std::vector<const ContainerType*> types = {&j3d::kType, &brres::kType, &tex0::kType,
                                                          &bti::kType, &g3d::kType};
  return types;
}

}  // namespace glaze
