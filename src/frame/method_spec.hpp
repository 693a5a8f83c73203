// One compile-time declaration per method. A MethodSpec names the method, its parameters (checks,
// conversions, defaults, annotations), its docstring and return annotation, and its body; everything
// else is derived from it: argument binding and counts, the conversions, the value types the body
// receives, __defaults__, __annotations__, __text_signature__ and the method-table entry. A body whose
// parameter list does not match the declared parameters does not compile.
//
// The body of a method takes the extractor and then one value per parameter: PyObject* (borrowed; the
// default's object when not given) or the converted int / bool / double. It returns a Ref, null with an
// exception set. A module-level function's body takes no extractor.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/arguments.hpp"
#include "frame/function_object.hpp"
#include "interop/convert.hpp"
#include "interop/traceback.hpp"
#include "model/extractor.hpp"

namespace lq {

// Who adds the method's traceback entry when the body fails: the wrapper, or the body itself (the
// overridable stages, whose native entries add it for every caller).
enum class Traced { by_wrapper, by_body };

template <std::size_t N, typename Body>
struct MethodSpec {
    const char* name;
    std::array<Param, N> params;
    Body body;
    const char* doc = nullptr;
    const char* returns = nullptr;  // the return annotation
    Traced traced = Traced::by_wrapper;
    const char* owner = "ColorExtractor";  // the class, as traceback entries name it
};

template <std::size_t N, typename Body, typename... Rest>
MethodSpec(const char*, std::array<Param, N>, Body, Rest...) -> MethodSpec<N, Body>;

// Parameter lists: params(Param{...}, ...) or params() for none.
template <typename... P>
constexpr std::array<Param, sizeof...(P)> params(P... each) {
    return {each...};
}

namespace spec_detail {

template <Convert C>
struct ValueOf {
    using type = PyObject*;
};
template <>
struct ValueOf<Convert::int32> {
    using type = int;
};
template <>
struct ValueOf<Convert::truth> {
    using type = bool;
};
template <>
struct ValueOf<Convert::to_double> {
    using type = double;
};

template <typename F>
struct BodyOf;
template <typename R, typename... A>
struct BodyOf<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <const auto& S>
using Traits = BodyOf<std::remove_cv_t<decltype(S.body)>>;

template <const auto& S>
constexpr bool is_method() {
    using Args = typename Traits<S>::args;
    if constexpr (std::tuple_size_v<Args> == 0) return false;
    else return std::is_same_v<std::tuple_element_t<0, Args>, ColorExtractor*>;
}

template <const auto& S>
constexpr std::size_t count() {
    return S.params.size();
}

template <const auto& S, std::size_t I>
using Value = typename ValueOf<S.params[I].convert>::type;

template <const auto& S>
constexpr Py_ssize_t required_count() {
    Py_ssize_t required = 0;
    while (required < static_cast<Py_ssize_t>(count<S>()) && S.params[required].required()) ++required;
    return required;
}

template <const auto& S>
constexpr bool well_formed() {
    constexpr Py_ssize_t required = required_count<S>();
    for (std::size_t i = 0; i < count<S>(); ++i) {
        const Param& param = S.params[i];
        if (static_cast<Py_ssize_t>(i) >= required && param.required()) return false;  // defaults trail
        if (param.convert == Convert::none && param.fallback.kind == Default::Kind::number) return false;
        if (param.convert != Convert::none && param.fallback.kind == Default::Kind::object) return false;
    }
    return true;
}

template <const auto& S, std::size_t... I>
constexpr bool body_matches(std::index_sequence<I...>) {
    using Args = typename Traits<S>::args;
    constexpr std::size_t offset = is_method<S>() ? 1 : 0;
    if constexpr (Traits<S>::arity != sizeof...(I) + offset) return false;
    else return (std::is_same_v<std::tuple_element_t<I + offset, Args>, Value<S, I>> && ...);
}

template <const auto& S>
constexpr Signature signature() {
    return Signature{S.name, S.params.data(), static_cast<Py_ssize_t>(count<S>()), required_count<S>()};
}

template <const auto& S, std::size_t I>
int convert_one(PyObject* given, Value<S, I>& out) {
    constexpr Param param = S.params[I];
    if constexpr (param.convert == Convert::none) {
        if (given) out = given;
        else if constexpr (param.fallback.kind == Default::Kind::object) out = param.fallback.object();
        else out = Py_None;
        return 0;
    } else if constexpr (param.convert == Convert::int32) {
        if (!given) return (out = static_cast<int>(param.fallback.number)), 0;
        return to_integer(given, &out);
    } else if constexpr (param.convert == Convert::truth) {
        if (!given) return (out = param.fallback.number != 0.0), 0;
        const int value = truth(given);
        if (value < 0) return -1;
        out = value != 0;
        return 0;
    } else {
        if (!given) return (out = param.fallback.number), 0;
        return to_double(given, &out);
    }
}

template <const auto& S, std::size_t... I>
int convert_and_check(PyObject* const* given, auto& values, std::index_sequence<I...>) {
    // Conversions first, in parameter order, then the type checks of the arguments that were given.
    if (((convert_one<S, I>(given[I], std::get<I>(values)) < 0) || ...)) return -1;
    for (std::size_t i = 0; i < count<S>(); ++i)
        if (given[i] && check_argument(given[i], S.params[i]) < 0) return -1;
    return 0;
}

template <const auto& S, std::size_t... I>
auto values_tuple(std::index_sequence<I...>) -> std::tuple<Value<S, I>...>;

template <const auto& S>
using Values = decltype(values_tuple<S>(std::make_index_sequence<count<S>()>{}));

template <const auto& S>
void trace() {
    if constexpr (is_method<S>()) add_method_traceback(S.name, S.owner);
    else add_function_traceback(S.name);
}

template <const auto& S>
auto call_body(PyObject* self, Values<S>& values) {
    if constexpr (is_method<S>())
        return std::apply([self](auto... value) { return S.body(reinterpret_cast<ColorExtractor*>(self), value...); },
                          values);
    else return std::apply([](auto... value) { return S.body(value...); }, values);
}

template <const auto& S>
constexpr void validate() {
    static_assert(well_formed<S>(), "parameters with defaults must come last, with defaults their conversion can hold");
    static_assert(body_matches<S>(std::make_index_sequence<count<S>()>{}),
                  "the body must take one value per declared parameter, of the type its conversion gives");
}

}  // namespace spec_detail

// The vectorcall entry of a method or module-level function.
template <const auto& S>
PyObject* spec_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    spec_detail::validate<S>();
    constexpr std::size_t n = spec_detail::count<S>();
    static constexpr Signature signature = spec_detail::signature<S>();
    PyObject* given[n ? n : 1] = {};
    spec_detail::Values<S> values{};
    if (bind_arguments(signature, args, nargs, kwnames, given) < 0 ||
        spec_detail::convert_and_check<S>(given, values, std::make_index_sequence<n>{}) < 0) {
        spec_detail::trace<S>();
        return nullptr;
    }
    Ref result = spec_detail::call_body<S>(self, values);
    if (!result && S.traced == Traced::by_wrapper) spec_detail::trace<S>();
    return result.release();
}

// The tp_init entry: positional arguments as a tuple and keywords as a dict; the body returns 0 or -1.
template <const auto& S>
int spec_init_entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    spec_detail::validate<S>();
    constexpr std::size_t n = spec_detail::count<S>();
    static constexpr Signature signature = spec_detail::signature<S>();
    PyObject* given[n ? n : 1] = {};
    spec_detail::Values<S> values{};
    if (bind_arguments(signature, args, kwargs, given) < 0 ||
        spec_detail::convert_and_check<S>(given, values, std::make_index_sequence<n>{}) < 0) {
        spec_detail::trace<S>();
        return -1;
    }
    return spec_detail::call_body<S>(self, values);
}

// The method-table entry derived from a declaration.
template <const auto& S>
inline constexpr FunctionDef function_def{S.name,
                                          &spec_entry<S>,
                                          S.doc,
                                          S.params.data(),
                                          static_cast<Py_ssize_t>(S.params.size()),
                                          S.returns,
                                          spec_detail::is_method<S>()};

}  // namespace lq
