/* Python objects to variant trees and back, in one call each. */
#ifndef QELTYPES_CODEC_VARIANTS_H
#define QELTYPES_CODEC_VARIANTS_H

#include "py.h"

#include "encoder.h"

namespace qelcodec {

/* A new variant (tree) for `obj`, with the mapping and refusals of dumps; the
 * result is the handle that _qeltypes makes for it, owned by the caller. */
PyObject* to_variant(PyObject* obj, const EncodeOptions& options);

/* The Python objects of the variant tree behind `handle` (checked as
 * _qeltypes checks handles), with the mapping of loads. */
PyObject* from_variant(PyObject* handle, bool typed);

} // namespace qelcodec

#endif /* QELTYPES_CODEC_VARIANTS_H */
