// The napi_* functions of the fake value model (see fake_napi.hpp).

#include <cstdio>
#include <cstdlib>

#include "fake_napi.hpp"

#include <cmath>
#include <cstring>

using velmora::fuzz::FakeEnv;
using velmora::fuzz::FakeValue;
using velmora::fuzz::fromValue;
using velmora::fuzz::asValue;

namespace {

FakeEnv* fake(napi_env env) { return reinterpret_cast<FakeEnv*>(env); }

napi_status status(napi_env env, napi_status s) {
    fake(env)->lastError.error_code = s;
    return s;
}

napi_status throwNow(napi_env env) {
    fake(env)->exceptionPending = true;
    return status(env, napi_pending_exception);
}

bool isObjectLike(const FakeValue* v) { return v->type == napi_object || v->type == napi_function; }

// `in` on a value: null and undefined throw (ToObject); primitives have none
// of the readers' fields; objects search their prototype chain.
napi_status lookup(napi_env env, napi_value object, const char* name, bool forGet, FakeValue** found) {
    *found = nullptr;
    if (env == nullptr || object == nullptr || name == nullptr) return napi_invalid_arg;
    if (fake(env)->exceptionPending) return status(env, napi_pending_exception);
    FakeValue* v = fromValue(object);
    if (v->type == napi_undefined || v->type == napi_null) return throwNow(env);
    if (!isObjectLike(v)) return status(env, napi_ok);
    for (int depth = 0; v != nullptr && depth < 64; v = v->prototype, ++depth) {
        auto getter = v->throwingGetters.find(name);
        if (getter != v->throwingGetters.end()) {
            if (forGet || getter->second) return throwNow(env);
            *found = v;  // present, but reading it throws
            return status(env, napi_ok);
        }
        auto property = v->properties.find(name);
        if (property != v->properties.end()) {
            *found = property->second;
            return status(env, napi_ok);
        }
    }
    return status(env, napi_ok);
}

}  // namespace

extern "C" {

napi_status napi_has_named_property(napi_env env, napi_value object, const char* name, bool* result) {
    FakeValue* found = nullptr;
    const napi_status s = lookup(env, object, name, false, &found);
    if (s == napi_ok) *result = found != nullptr;
    return s;
}

napi_status napi_get_named_property(napi_env env, napi_value object, const char* name, napi_value* result) {
    FakeValue* found = nullptr;
    const napi_status s = lookup(env, object, name, true, &found);
    if (s != napi_ok) return s;
    *result = asValue(found != nullptr ? found : fake(env)->make(napi_undefined));
    return s;
}

napi_status napi_typeof(napi_env env, napi_value value, napi_valuetype* result) {
    if (value == nullptr || result == nullptr) return status(env, napi_invalid_arg);
    *result = fromValue(value)->type;
    return status(env, napi_ok);
}

napi_status napi_get_value_string_utf8(napi_env env, napi_value value, char* buf, size_t bufsize, size_t* result) {
    FakeValue* v = fromValue(value);
    if (v == nullptr) return status(env, napi_invalid_arg);
    if (v->type != napi_string) return status(env, napi_string_expected);
    if (buf == nullptr) {
        if (result == nullptr) return status(env, napi_invalid_arg);
        *result = v->text.size();
        return status(env, napi_ok);
    }
    if (bufsize == 0) {
        if (result != nullptr) *result = 0;
        return status(env, napi_ok);
    }
    const size_t copied = std::min(bufsize - 1, v->text.size());
    std::memcpy(buf, v->text.data(), copied);
    buf[copied] = '\0';
    if (result != nullptr) *result = copied;
    return status(env, napi_ok);
}

napi_status napi_get_value_double(napi_env env, napi_value value, double* result) {
    FakeValue* v = fromValue(value);
    if (v == nullptr || result == nullptr) return status(env, napi_invalid_arg);
    if (v->type != napi_number) return status(env, napi_number_expected);
    *result = v->number;
    return status(env, napi_ok);
}

napi_status napi_get_value_int32(napi_env env, napi_value value, int32_t* result) {
    FakeValue* v = fromValue(value);
    if (v == nullptr || result == nullptr) return status(env, napi_invalid_arg);
    if (v->type != napi_number) return status(env, napi_number_expected);
    // ECMAScript ToInt32: NaN and infinities are 0, others wrap modulo 2^32.
    const double d = v->number;
    if (!std::isfinite(d)) {
        *result = 0;
    } else {
        const double wrapped = std::fmod(std::trunc(d), 4294967296.0);
        const double positive = wrapped < 0 ? wrapped + 4294967296.0 : wrapped;
        *result = static_cast<int32_t>(static_cast<uint32_t>(positive));
    }
    return status(env, napi_ok);
}

napi_status napi_get_value_bool(napi_env env, napi_value value, bool* result) {
    FakeValue* v = fromValue(value);
    if (v == nullptr || result == nullptr) return status(env, napi_invalid_arg);
    if (v->type != napi_boolean) return status(env, napi_boolean_expected);
    *result = v->flag;
    return status(env, napi_ok);
}

napi_status napi_create_object(napi_env env, napi_value* result) {
    *result = asValue(fake(env)->make(napi_object));
    return status(env, napi_ok);
}

napi_status napi_get_undefined(napi_env env, napi_value* result) {
    *result = asValue(fake(env)->make(napi_undefined));
    return status(env, napi_ok);
}

napi_status napi_get_last_error_info(napi_env env, const napi_extended_error_info** result) {
    *result = &fake(env)->lastError;
    return napi_ok;
}

napi_status napi_is_exception_pending(napi_env env, bool* result) {
    *result = fake(env)->exceptionPending;
    return napi_ok;
}

napi_status napi_get_and_clear_last_exception(napi_env env, napi_value* result) {
    fake(env)->exceptionPending = false;
    *result = asValue(fake(env)->make(napi_object));
    return status(env, napi_ok);
}

// What node-addon-api needs to build and carry a Napi::Error: errors are plain
// objects with a message, references are the values themselves, scopes do
// nothing (the model never collects).
napi_status napi_create_string_utf8(napi_env env, const char* str, size_t length, napi_value* result) {
    FakeValue* v = fake(env)->make(napi_string);
    if (str != nullptr) v->text = length == NAPI_AUTO_LENGTH ? std::string(str) : std::string(str, length);
    *result = asValue(v);
    return status(env, napi_ok);
}

static napi_status makeError(napi_env env, napi_value message, napi_value* result) {
    FakeValue* error = fake(env)->make(napi_object);
    if (message != nullptr) error->properties["message"] = fromValue(message);
    *result = asValue(error);
    return status(env, napi_ok);
}

napi_status napi_create_error(napi_env env, napi_value, napi_value msg, napi_value* result) {
    return makeError(env, msg, result);
}

napi_status napi_create_type_error(napi_env env, napi_value, napi_value msg, napi_value* result) {
    return makeError(env, msg, result);
}

napi_status napi_create_reference(napi_env env, napi_value value, uint32_t, napi_ref* result) {
    *result = reinterpret_cast<napi_ref>(value);
    return status(env, napi_ok);
}

napi_status napi_delete_reference(napi_env env, napi_ref) { return status(env, napi_ok); }

napi_status napi_get_reference_value(napi_env env, napi_ref ref, napi_value* result) {
    *result = reinterpret_cast<napi_value>(ref);
    return status(env, napi_ok);
}

napi_status napi_define_properties(napi_env env, napi_value, size_t, const napi_property_descriptor*) {
    return status(env, napi_ok);
}

napi_status napi_open_escapable_handle_scope(napi_env env, napi_escapable_handle_scope* result) {
    static int scope;
    *result = reinterpret_cast<napi_escapable_handle_scope>(&scope);
    return status(env, napi_ok);
}

napi_status napi_close_escapable_handle_scope(napi_env env, napi_escapable_handle_scope) {
    return status(env, napi_ok);
}

napi_status napi_escape_handle(napi_env env, napi_escapable_handle_scope, napi_value escapee, napi_value* result) {
    *result = escapee;
    return status(env, napi_ok);
}

[[noreturn]] void napi_fatal_error(const char*, size_t, const char* message, size_t) {
    std::fprintf(stderr, "napi_fatal_error: %s\n", message != nullptr ? message : "");
    std::abort();
}

}  // extern "C"
