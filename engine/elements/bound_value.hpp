#pragma once

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ad_types.hpp"

namespace lfe {

// How each kind of bound quantity is flattened into the solver vectors:
// every complex entry as (real, imaginary), matrices row by row.
template <class T>
struct BoundForm;

template <>
struct BoundForm<std::complex<double>> {
    using T = std::complex<double>;
    using AD = ADComplex;
    static AD initial_ad() { return ad_zero(); }
    static Eigen::Index count(const T&) { return 2; }
    static void flatten(const T& v, double* out) {
        out[0] = v.real();
        out[1] = v.imag();
    }
    static T read(const double* in, const T&) { return {in[0], in[1]}; }
    static AD make_ad(const ADVector& a, Eigen::Index index, const T&) {
        return {a[index], a[index + 1]};
    }
    static bool same_shape(const T&, const T&) { return true; }
};

template <>
struct BoundForm<double> {
    using T = double;
    using AD = ADScalar;
    static AD initial_ad() { return ADScalar(0.0); }
    static Eigen::Index count(const T&) { return 1; }
    static void flatten(const T& v, double* out) { out[0] = v; }
    static T read(const double* in, const T&) { return in[0]; }
    static AD make_ad(const ADVector& a, Eigen::Index index, const T&) { return a[index]; }
    static bool same_shape(const T&, const T&) { return true; }
};

template <>
struct BoundForm<Eigen::MatrixXcd> {
    using T = Eigen::MatrixXcd;
    using AD = ADComplexMatrix;
    static AD initial_ad() { return AD(); }
    static Eigen::Index count(const T& v) { return 2 * v.rows() * v.cols(); }
    static void flatten(const T& v, double* out) {
        for (Eigen::Index i = 0; i < v.rows(); ++i)
            for (Eigen::Index j = 0; j < v.cols(); ++j) {
                *out++ = v(i, j).real();
                *out++ = v(i, j).imag();
            }
    }
    static T read(const double* in, const T& shape) {
        T v(shape.rows(), shape.cols());
        for (Eigen::Index i = 0; i < v.rows(); ++i)
            for (Eigen::Index j = 0; j < v.cols(); ++j, in += 2) v(i, j) = {in[0], in[1]};
        return v;
    }
    static AD make_ad(const ADVector& a, Eigen::Index index, const T& shape) {
        AD m(shape.rows(), shape.cols());
        for (Eigen::Index i = 0; i < m.rows(); ++i)
            for (Eigen::Index j = 0; j < m.cols(); ++j, index += 2) m(i, j) = {a[index], a[index + 1]};
        return m;
    }
    static bool same_shape(const T& a, const T& b) {
        return a.rows() == b.rows() && a.cols() == b.cols();
    }
};

template <>
struct BoundForm<Eigen::VectorXcd> {
    using T = Eigen::VectorXcd;
    using AD = ADComplexVector;
    static AD initial_ad() { return AD(); }
    static Eigen::Index count(const T& v) { return 2 * v.size(); }
    static void flatten(const T& v, double* out) {
        for (Eigen::Index k = 0; k < v.size(); ++k) {
            *out++ = v[k].real();
            *out++ = v[k].imag();
        }
    }
    static T read(const double* in, const T& shape) {
        T v(shape.size());
        for (Eigen::Index k = 0; k < v.size(); ++k, in += 2) v[k] = {in[0], in[1]};
        return v;
    }
    static AD make_ad(const ADVector& a, Eigen::Index index, const T& shape) {
        AD v(shape.size());
        for (Eigen::Index k = 0; k < v.size(); ++k, index += 2) v[k] = {a[index], a[index + 1]};
        return v;
    }
    static bool same_shape(const T& a, const T& b) { return a.size() == b.size(); }
};

// Reserves room for a count given by a caller: a negative count fails as an
// oversized one does, with the container's name.
template <class T>
void reserve_count(std::vector<T>& items, long count) {
    if (count < 0) throw std::length_error("vector");
    items.reserve(static_cast<std::size_t>(count));
}

// Where a bound record's slots are. A record shares the ownership of the
// vectors it points into, so its slots outlive the solver that filled them.
struct RecordBinding {
    double* values = nullptr;
    bool bound = false;
    std::shared_ptr<const void> storage;
};

// Open while a solver binds its network's records: each record bound in the
// meantime shares `storage`. Every scope takes a number: a solver whose scope
// is the latest knows that no record has been bound elsewhere since.
class BindingScope {
public:
    explicit BindingScope(std::shared_ptr<const void> storage)
        : storage(std::move(storage)), number_(++opened), outer(innermost) {
        innermost = this;
    }
    BindingScope(const BindingScope&) = delete;
    BindingScope& operator=(const BindingScope&) = delete;
    ~BindingScope() { innermost = outer; }

    std::uint64_t number() const { return number_; }
    static std::uint64_t latest() { return opened; }
    // Makes every solver take its records again at its next solve: a record
    // one of them bound was replaced where it cannot see it.
    static void outdate() { ++opened; }

    // Points a record at its slots, under the innermost scope of this thread.
    static void point(RecordBinding& record, double* values) {
        record.storage = innermost ? innermost->storage : nullptr;
        record.values = values;
        record.bound = true;
    }

private:
    std::shared_ptr<const void> storage;
    std::uint64_t number_;
    BindingScope* outer;
    static inline std::atomic<std::uint64_t> opened{0};
    static inline thread_local BindingScope* innermost = nullptr;
};

template <class T>
class BoundValue : public RecordBinding {
    using Form = BoundForm<T>;

public:
    typename Form::AD ad;
    T value;
    // Counts the calls of set: with the slots' address it tells a reader
    // whether the value may have changed since it last looked.
    std::uint64_t writes = 0;

    BoundValue() : ad(Form::initial_ad()), value() {}
    explicit BoundValue(T v) : ad(Form::initial_ad()), value(std::move(v)) {}

    // Number of doubles the value takes in x or p.
    Eigen::Index count() const { return Form::count(value); }

    // Appends the stored value, bound or not, to an initial vector.
    void add(std::vector<double>& initial) const {
        const auto start = initial.size();
        initial.resize(start + static_cast<std::size_t>(count()));
        Form::flatten(value, initial.data() + start);
    }

    void bind(const ADVector& a, Eigen::VectorXd& vec, int& index) {
        const Eigen::Index n = count();
        if (index < 0 || index + n > vec.size() || index + n > a.size())
            throw std::runtime_error("Binding past the end of the solver vector at index " +
                                     std::to_string(index));
        ad = Form::make_ad(a, index, value);
        BindingScope::point(*this, vec.data() + index);
        index += static_cast<int>(n);
    }

    // Points nowhere any more. The stored value stays the one last set: what
    // a solver left in the slots is its own, not the record's.
    void unbind() { static_cast<RecordBinding&>(*this) = RecordBinding(); }

    void set(const T& v) {
        if (bound && !Form::same_shape(value, v))
            throw std::invalid_argument("A bound value keeps the shape it was bound with");
        value = v;
        ++writes;
        if (bound) Form::flatten(value, values);
    }

    T get() const { return bound ? Form::read(values, value) : value; }
};

}  // namespace lfe
