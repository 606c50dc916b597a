// Private declarations of the bridge: the tree walk of the writer side and
// the element conversion and tree builder of the reader side. Tests include
// this header to drive the builder with hand-made elements.
#ifndef QELT_BRIDGE_INTERNAL_H
#define QELT_BRIDGE_INTERNAL_H

#include "qel/qel.h"
#include "qelt/qelt.h"
#include "qelt/qelt_bridge.h"

extern "C" {

// Writes one variant; a list or map is written with everything it holds.
// The walk keeps its own stack, so the depth of a tree is bounded by memory,
// not by the native stack. A container met again on its own path from the
// root gives QELT_ERR_CIRCULAR_REFERENCE; the same container in two places
// that do not nest is written twice.
qelt_err qelt_write_variant(qel_writer* writer, qelt_variant* variant) QELT_NOEXCEPT;

// The state of one read: the containers that are open, outermost first, in
// one growing array; the root; a map key that waits for its value. Open
// containers are held by their parents (the root by `root`): every one of
// them lies in the root's tree.
struct qelt_tree_builder {
    qelt_variant** open;
    uint32_t depth;             // containers open
    uint32_t capacity;          // slots of `open`
    qelt_variant* root;         // the first container opened, with its creator's reference
    qelt_variant* pending_key;  // a map key waiting for its value, with one reference
};

qelt_tree_builder* qelt_tree_builder_new(void) QELT_NOEXCEPT;
// Frees the builder; `root` and `pending_key` are not released.
void qelt_tree_builder_free(qelt_tree_builder* builder) QELT_NOEXCEPT;
// Places a new value: appended to the open list, parked as the open map's
// key, or stored with the waiting key. Takes over the caller's reference,
// also on failure unless an argument is null. A value outside any container,
// or a container where a map key belongs, gives QELT_ERR_ILLEGAL_FILE_CONTENT.
qelt_err qelt_tree_builder_add(qelt_tree_builder* builder, qelt_variant* value) QELT_NOEXCEPT;
// Opens `container`; the first one becomes the root. QELT_ERR_OUT_OF_MEMORY
// records nothing.
qelt_err qelt_tree_builder_push(qelt_tree_builder* builder, qelt_variant* container) QELT_NOEXCEPT;
void qelt_tree_builder_pop(qelt_tree_builder* builder) QELT_NOEXCEPT;

// A new variant for a value element in *out (null for an end marker).
qelt_err qelt_variant_from_element(const qel_element* element, qelt_variant** out) QELT_NOEXCEPT;
// The reader callback; `user_data` is the builder.
uint32_t qelt_read_callback(const qel_element* element, void* user_data) QELT_NOEXCEPT;
// Parses the reader's document into a tree; *out is written only when the
// document was read to its end with every container closed.
qelt_err qelt_read_from_reader(qel_reader* reader, qelt_variant** out) QELT_NOEXCEPT;

}  // extern "C"

#endif  // QELT_BRIDGE_INTERNAL_H
