// Python classes LinkMesh and LinkMeshes.

#include "classes.hpp"

namespace ortholink::py {

const ClassDescription& link_mesh_class() { throw Panic("LinkMesh is not available yet"); }
const ClassDescription& link_meshes_class() { throw Panic("LinkMeshes is not available yet"); }

}  // namespace ortholink::py
