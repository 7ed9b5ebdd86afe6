# The engine trusts its caller with sizes, indexes and array lengths: these
# checks keep out-of-range arguments away from it.

cdef Element* own_element(CyElement self) except NULL:
    if self.element == NULL:
        raise RuntimeError(f"self: a bare {type(self).__name__} has no engine element")
    return self.element


cdef Element* given_element(CyElement element, str name) except NULL:
    if element is None:
        raise TypeError(f"Argument '{name}' must be an element, not None")
    if element.element == NULL:
        raise ValueError(f"Argument '{name}': a bare {type(element).__name__} has no engine element")
    return element.element


cdef int check_index(int index, size_t count, str name) except -1:
    if index < 0 or <size_t>index >= count:
        raise IndexError(f"{name}: port index {index} is out of range for {count} ports")
    return 0


cdef int check_size(int size, size_t count, str name) except -1:
    if size > 0 and <size_t>size > count:
        raise ValueError(f"{name} = {size} exceeds the {count} values the element holds")
    return 0


cdef int check_single_conductor(Branch* line) except -1:
    # One value stands for a 1 x 1 matrix; a wider line would read past it.
    if line.side1.size() > 1:
        raise ValueError(f"self: a single value serves a line of one conductor, this line has {line.side1.size()}")
    return 0


cdef Py_ssize_t matrix_size(int n):
    return <Py_ssize_t>n * n


# The n - 1 values of an element of n ports, counted where n - 1 cannot
# overflow; the engine refuses a negative n.
cdef Py_ssize_t phase_count(int n):
    return <Py_ssize_t>n - 1


# The address of the values the engine reads, `needed` of them; NULL when it
# reads none, so that None stays accepted there.

cdef double complex* complex_values(double complex[::1] values, Py_ssize_t needed,
                                    str name) except? NULL:
    cdef Py_ssize_t size = 0 if values is None else values.shape[0]
    if size < needed:
        raise ValueError(f"{name} holds {size} values, {needed} are needed")
    return &values[0] if size > 0 else NULL


cdef double* double_values(double[::1] values, Py_ssize_t needed, str name) except? NULL:
    cdef Py_ssize_t size = 0 if values is None else values.shape[0]
    if size < needed:
        raise ValueError(f"{name} holds {size} values, {needed} are needed")
    return &values[0] if size > 0 else NULL


cdef object complex_array(int n):
    return np.empty(n, dtype=np.complex128)


# Value records are written by the set rule: the stored value, and the
# solver's slots too once bound.

cdef int write_records(ValueRecords& records, double complex[::1] values, str name) except -1:
    cdef const double complex* v = complex_values(values, records.size(), name)
    cdef size_t i
    for i in range(records.size()):
        records[i].set(v[i])
    return 0


cdef int write_first_record(ValueRecords& records, double complex value) except -1:
    if not records.empty():
        records[0].set(value)
    return 0
