cdef extern from "elements/bound_value.hpp" namespace "lfe" nogil:
    cdef cppclass BoundValue[T]:
        double* values
        T value
        bint bound
        void set(const T& v) except +
        T get()
