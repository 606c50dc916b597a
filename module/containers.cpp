// Lists and maps.

#include "qeltypes_module.h"

namespace qeltypes {

namespace {

/* No counting from the end: every negative index reaches the library as the
 * one it rejects as out of range. */
int32_t list_index(int index)
{
    return index < 0 ? QELT_LIST_INDEX_UNKNOWN : index;
}

/* Whether the item at `index` may be torn down when the list lets go of it
 * for `replacement` (null: for nothing). */
bool item_may_tear_down(qelt_variant* list, int32_t index, const qelt_variant* replacement)
{
    qelt_variant* item = nullptr;
    return qelt_variant_list_get_item(list, &item, index) == QELT_SUCCESS && item != replacement &&
           may_tear_down(item);
}

/* Whether setting or deleting `key` may tear down a container: the value it
 * replaces, or a key that only the map holds (a borrowed one). */
bool entry_may_tear_down(qelt_variant* map, qelt_variant* key, const qelt_variant* replacement)
{
    qelt_variant* old = nullptr;
    const bool value = qelt_variant_map_get(map, key, &old) == QELT_SUCCESS && old != replacement &&
                       may_tear_down(old);
    return value || (replacement == nullptr && may_tear_down(key));
}

/* insert and set_item: a list, a value and an index in, nothing out. */
template <qelt_err (*Store)(qelt_variant*, qelt_variant*, int32_t), bool Replaces>
PyObject* store_at_index(PyObject* args, const char* method)
{
    PyObject *list_handle, *value_handle;
    int index;
    if (!PyArg_ParseTuple(args, "OOi", &list_handle, &value_handle, &index))
        return nullptr;
    qelt_variant *list, *value;
    if (!to_variants(method, list_handle, &list, value_handle, &value))
        return nullptr;
    const int32_t at = list_index(index);
    const bool unlocked = Replaces && item_may_tear_down(list, at, value);
    const qelt_err rc = run_unlocked_if(unlocked, [=] { return Store(list, value, at); });
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return none();
}

/* append and contains: a list and a value in, the index the library reports
 * out; it starts as "not found" so that a search that finds nothing gives -1.
 * A search runs with the lock released. */
template <qelt_err (*Op)(qelt_variant*, qelt_variant*, int32_t*), bool Unlocked>
PyObject* index_of_value(PyObject* args, const char* method)
{
    PyObject *list_handle, *value_handle;
    if (!PyArg_ParseTuple(args, "OO", &list_handle, &value_handle))
        return nullptr;
    qelt_variant *list, *value;
    if (!to_variants(method, list_handle, &list, value_handle, &value))
        return nullptr;
    int32_t index = QELT_LIST_INDEX_UNKNOWN;
    const qelt_err rc = run_unlocked_if(Unlocked, [&] { return Op(list, value, &index); });
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return PyLong_FromLong(index);
}

/* get_size: the list's count is signed, the map's unsigned. */
template <typename Count, qelt_err (*Size)(qelt_variant*, Count*)>
PyObject* item_count(PyObject* args, const char* method)
{
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O", &handle))
        return nullptr;
    qelt_variant* container;
    if (!to_variant(handle, &container, method))
        return nullptr;
    Count count = 0;
    const qelt_err rc = Size(container, &count);
    if (rc != QELT_SUCCESS)
        return raise_error(method, rc);
    return to_python(count);
}

} // namespace

/* ------------------------------------------------------------------------ */
/* Lists                                                                      */
/* ------------------------------------------------------------------------ */

extern const char doc_qelt_variant_new_list[] =
    "qelt_variant_new_list()\n"
    "Create a new variant list\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

// Arguments are accepted and ignored: the tuple is never parsed.
PyObject* meth_qelt_variant_new_list(PyObject*, PyObject*)
{
    return new_without_value<qelt_variant_new_list>("qelt_variant_new_list");
}

extern const char doc_qelt_variant_list_append[] =
    "qelt_variant_list_append(list, value)\n"
    "Appends a value to a list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    value (int): handle of variant to append to the list\n"
    "\n"
    "Returns:\n"
    "    (int): index of the appended value";

PyObject* meth_qelt_variant_list_append(PyObject*, PyObject* args)
{
    return index_of_value<qelt_variant_list_append, false>(args, "qelt_variant_list_append");
}

extern const char doc_qelt_variant_list_insert[] =
    "qelt_variant_list_insert(list, value, index)\n"
    "Inserts a value to a list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    value (int): handle of variant to insert into the list\n"
    "    index (int): index to insert the value at";

PyObject* meth_qelt_variant_list_insert(PyObject*, PyObject* args)
{
    return store_at_index<qelt_variant_list_insert, false>(args, "qelt_variant_list_insert");
}

extern const char doc_qelt_variant_list_set_item[] =
    "qelt_variant_list_set_item(list, value, index)\n"
    "Overwrites a value in a list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    value (int): handle of variant to set into the list\n"
    "    index (int): index to set the value at";

PyObject* meth_qelt_variant_list_set_item(PyObject*, PyObject* args)
{
    return store_at_index<qelt_variant_list_set_item, true>(args, "qelt_variant_list_set_item");
}

extern const char doc_qelt_variant_list_get_item[] =
    "qelt_variant_list_get_item(list, index)\n"
    "Gets a value from the list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    index (int): index to get the value from\n"
    "\n"
    "Returns:\n"
    "    (int): (borrowed) variant handle";

PyObject* meth_qelt_variant_list_get_item(PyObject*, PyObject* args)
{
    PyObject* list_handle;
    int index;
    if (!PyArg_ParseTuple(args, "Oi", &list_handle, &index))
        return nullptr;
    qelt_variant* list;
    if (!to_variant(list_handle, &list, "qelt_variant_list_get_item"))
        return nullptr;
    const int32_t at = list_index(index);
    qelt_variant* item = nullptr;
    const qelt_err rc = qelt_variant_list_get_item(list, &item, at);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_list_get_item", rc);
    return borrowed_handle(item);
}

extern const char doc_qelt_variant_list_delete_item[] =
    "qelt_variant_list_delete_item(list, index)\n"
    "Deletes an item in a list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    index (int): index of the item to be deleted";

PyObject* meth_qelt_variant_list_delete_item(PyObject*, PyObject* args)
{
    PyObject* list_handle;
    int index;
    if (!PyArg_ParseTuple(args, "Oi", &list_handle, &index))
        return nullptr;
    qelt_variant* list;
    if (!to_variant(list_handle, &list, "qelt_variant_list_delete_item"))
        return nullptr;
    const int32_t at = list_index(index);
    const qelt_err rc = run_unlocked_if(item_may_tear_down(list, at, nullptr),
                                        [=] { return qelt_variant_list_delete_item(list, at); });
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_list_delete_item", rc);
    return none();
}

extern const char doc_qelt_variant_list_clear[] =
    "qelt_variant_list_clear(list)\n"
    "Clears the list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle";

PyObject* meth_qelt_variant_list_clear(PyObject*, PyObject* args)
{
    return call_on_handle<qelt_variant_list_clear, holds_items>(args, "qelt_variant_list_clear");
}

extern const char doc_qelt_variant_list_get_size[] =
    "qelt_variant_list_get_size(list)\n"
    "Gets the number of items in the list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "\n"
    "Returns:\n"
    "    (int): item count";

PyObject* meth_qelt_variant_list_get_size(PyObject*, PyObject* args)
{
    return item_count<int32_t, qelt_variant_list_get_size>(args, "qelt_variant_list_get_size");
}

extern const char doc_qelt_variant_list_contains[] =
    "qelt_variant_list_contains(list, value)\n"
    "Checks if an item is in the list\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    value (int): handle to variant to check, if in the list\n"
    "\n"
    "Returns:\n"
    "    (int): index of the value or QELT_LIST_INDEX_UNKNOWN if not found";

PyObject* meth_qelt_variant_list_contains(PyObject*, PyObject* args)
{
    return index_of_value<qelt_variant_list_contains, true>(args, "qelt_variant_list_contains");
}

extern const char doc_qelt_variant_list_contains_in_subset[] =
    "qelt_variant_list_contains_in_subset(list, value, start, stop)\n"
    "Checks if an item is in the subset of a list\n"
    "\n"
    "If you specify a negative stop index, contains is checked for all\n"
    "elements from start index to the end of the list.\n"
    "\n"
    "Args:\n"
    "    list (int): variant list handle\n"
    "    value (int): handle to variant to check, if in the list\n"
    "    start (int): index where to start the subset (inclusive)\n"
    "    stop (int): index where to stop the subset (inclusive)\n"
    "\n"
    "Returns:\n"
    "    (int): index of the value or QELT_LIST_INDEX_UNKNOWN if not found";

PyObject* meth_qelt_variant_list_contains_in_subset(PyObject*, PyObject* args)
{
    PyObject *list_handle, *value_handle;
    int start, stop;
    if (!PyArg_ParseTuple(args, "OOii", &list_handle, &value_handle, &start, &stop))
        return nullptr;
    qelt_variant *list, *value;
    if (!to_variants("qelt_variant_list_contains_in_subset", list_handle, &list, value_handle, &value))
        return nullptr;
    int32_t index = QELT_LIST_INDEX_UNKNOWN;
    qelt_err rc;
    Py_BEGIN_ALLOW_THREADS rc = qelt_variant_list_contains_in_subset(list, value, &index, start, stop);
    Py_END_ALLOW_THREADS if (rc != QELT_SUCCESS) return raise_error("qelt_variant_list_contains_in_subset", rc);
    return PyLong_FromLong(index);
}

/* ------------------------------------------------------------------------ */
/* Maps                                                                       */
/* ------------------------------------------------------------------------ */

extern const char doc_qelt_variant_new_map[] =
    "qelt_variant_new_map()\n"
    "Create a new variant map\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle";

// Arguments are ignored, as for new_list.
PyObject* meth_qelt_variant_new_map(PyObject*, PyObject*)
{
    return new_without_value<qelt_variant_new_map>("qelt_variant_new_map");
}

extern const char doc_qelt_variant_map_set[] =
    "qelt_variant_map_set(map, key, value)\n"
    "Set a key value pair in a map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "    key (int): variant handle of the key\n"
    "    value (int): variant handle of the value";

PyObject* meth_qelt_variant_map_set(PyObject*, PyObject* args)
{
    PyObject *map_handle, *key_handle, *value_handle;
    if (!PyArg_ParseTuple(args, "OOO", &map_handle, &key_handle, &value_handle))
        return nullptr;
    qelt_variant *map, *key;
    if (!to_variants("qelt_variant_map_set", map_handle, &map, key_handle, &key))
        return nullptr;
    // A null value deletes the key, so only the integer 0 may mean null: a
    // value that is no integer is refused before the map is touched.
    qelt_variant* value;
    const HandleCheck value_check = check_handle(value_handle, &value);
    if (value_check == HandleCheck::not_an_integer || value_check == HandleCheck::dead)
        return raise_error("qelt_variant_map_set", QELT_ERR_NULL_PTR);
    const bool unlocked = key != nullptr && entry_may_tear_down(map, key, value);
    const qelt_err rc = run_unlocked_if(unlocked, [=] { return qelt_variant_map_set(map, key, value); });
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_map_set", rc);
    return none();
}

extern const char doc_qelt_variant_map_get[] =
    "qelt_variant_map_get(map, key)\n"
    "Get a value from the map by key\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "    key (int): variant handle of the key\n"
    "\n"
    "Returns:\n"
    "    (int): variant handle of the value or none, if key doesn't exist";

PyObject* meth_qelt_variant_map_get(PyObject*, PyObject* args)
{
    PyObject *map_handle, *key_handle;
    if (!PyArg_ParseTuple(args, "OO", &map_handle, &key_handle))
        return nullptr;
    qelt_variant *map, *key;
    if (!to_variants("qelt_variant_map_get", map_handle, &map, key_handle, &key))
        return nullptr;
    qelt_variant* value = nullptr;
    const qelt_err rc = qelt_variant_map_get(map, key, &value);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_map_get", rc);
    return borrowed_handle(value);
}

extern const char doc_qelt_variant_map_delete[] =
    "qelt_variant_map_delete(map, key)\n"
    "Delete from map by key\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "    key (int): variant handle of the key to be deleted";

PyObject* meth_qelt_variant_map_delete(PyObject*, PyObject* args)
{
    PyObject *map_handle, *key_handle;
    if (!PyArg_ParseTuple(args, "OO", &map_handle, &key_handle))
        return nullptr;
    qelt_variant *map, *key;
    if (!to_variants("qelt_variant_map_delete", map_handle, &map, key_handle, &key))
        return nullptr;
    const bool unlocked = key != nullptr && entry_may_tear_down(map, key, nullptr);
    const qelt_err rc = run_unlocked_if(unlocked, [=] { return qelt_variant_map_delete(map, key); });
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_map_delete", rc);
    return none();
}

extern const char doc_qelt_variant_map_clear[] =
    "qelt_variant_map_clear(map)\n"
    "Remove all items from a map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle";

PyObject* meth_qelt_variant_map_clear(PyObject*, PyObject* args)
{
    return call_on_handle<qelt_variant_map_clear, holds_items>(args, "qelt_variant_map_clear");
}

extern const char doc_qelt_variant_map_first[] =
    "qelt_variant_map_first(map)\n"
    "Set the iterator to the beginning of a map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle";

PyObject* meth_qelt_variant_map_first(PyObject*, PyObject* args)
{
    return call_on_handle<qelt_variant_map_first, never>(args, "qelt_variant_map_first");
}

extern const char doc_qelt_variant_map_next[] =
    "qelt_variant_map_next(map)\n"
    "Get next item of a map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "\n"
    "Returns:\n"
    "    (tuple of (int, int), None):\n"
    "       - (key variant handle, value variant handle)\n"
    "       - None, if there are no more items in the map";

PyObject* meth_qelt_variant_map_next(PyObject*, PyObject* args)
{
    PyObject* map_handle;
    if (!PyArg_ParseTuple(args, "O", &map_handle))
        return nullptr;
    qelt_variant* map;
    if (!to_variant(map_handle, &map, "qelt_variant_map_next"))
        return nullptr;
    qelt_variant* key = nullptr;
    qelt_variant* value = nullptr;
    uint8_t found = 0;
    const qelt_err rc = qelt_variant_map_next(map, &key, &value, &found);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_map_next", rc);
    if (found != 1)
        return none();
    return make_tuple(borrowed_handle(key), borrowed_handle(value));
}

extern const char doc_qelt_variant_map_get_size[] =
    "qelt_variant_map_get_size(map)\n"
    "Gets the number of items in the map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "\n"
    "Returns:\n"
    "    (int): item count";

PyObject* meth_qelt_variant_map_get_size(PyObject*, PyObject* args)
{
    return item_count<uint32_t, qelt_variant_map_get_size>(args, "qelt_variant_map_get_size");
}

extern const char doc_qelt_variant_map_haskey[] =
    "qelt_variant_map_haskey(map, key)\n"
    "Check if a key exists in a map\n"
    "\n"
    "Args:\n"
    "    map (int): variant map handle\n"
    "    key (int): variant handle of the key to search for\n"
    "\n"
    "Returns:\n"
    "    (int):\n"
    "        - QELT_TRUE if key was found\n"
    "        - QELT_FALSE if key wasn't found";

PyObject* meth_qelt_variant_map_haskey(PyObject*, PyObject* args)
{
    PyObject *map_handle, *key_handle;
    if (!PyArg_ParseTuple(args, "OO", &map_handle, &key_handle))
        return nullptr;
    qelt_variant *map, *key;
    if (!to_variants("qelt_variant_map_haskey", map_handle, &map, key_handle, &key))
        return nullptr;
    uint8_t found = 0;
    const qelt_err rc = qelt_variant_map_haskey(map, key, &found);
    if (rc != QELT_SUCCESS)
        return raise_error("qelt_variant_map_haskey", rc);
    return PyBool_FromLong(found);
}

} // namespace qeltypes
