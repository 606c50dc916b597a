/*
 * Streams of any size: readers that take the bytes of a QEL stream from a
 * file object a chunk at a time and hand out the root's items (ItemReader)
 * or one event per element (EventReader), and a writer that encodes the
 * root's items one at a time into a file object (ItemWriter). Memory stays
 * bounded by the largest item (the largest element for events), whatever
 * the length of the stream. The package's Reader, events and Writer are
 * their faces; the types are private to it.
 *
 *   ItemReader(source, *, typed=False, close_source=False, allow_trailing=False,
 *              max_depth=None, max_elements=None, max_bytes=None)
 *   EventReader(source, *, close_source=False, allow_trailing=False,
 *               max_depth=None, max_elements=None, max_bytes=None)
 *       iterators; close(), and use as context managers. `source` needs
 *       read1(n) or read(n); it is never asked to seek, so pipes and sockets
 *       do. With close_source, the source is closed when the reader ends,
 *       fails, is closed or goes.
 *   ItemWriter(write, map, *, default=None, utc=False)
 *       append(obj) (root list), add(key, value) (root map), flush(),
 *       close() (the root's end marker, then flush), abandon() (flush
 *       without the end marker: a stream that readers refuse as truncated).
 *       `write` is the file object's write.
 */
#ifndef QELTYPES_CODEC_STREAMS_H
#define QELTYPES_CODEC_STREAMS_H

#include "py.h"

namespace qelcodec {

/* Creates the three types and adds them to `module`; false with an
 * exception set. */
bool add_stream_types(PyObject* module);

} // namespace qelcodec

#endif /* QELTYPES_CODEC_STREAMS_H */
