#pragma once
// A minimal model of script values behind the napi_* calls the request
// readers make, so that the readers run without a script engine. It models
// what the readers depend on: the seven value types, properties found through
// a prototype chain, getters and `in` traps that throw (a pending exception),
// the ToObject failure of null and undefined, ToInt32's wrap-around, and
// the UTF-8 copy-out of strings. It does not run script code.

#include <js_native_api.h>

#include <deque>
#include <map>
#include <string>

namespace velmora::fuzz {

struct FakeValue {
    napi_valuetype type = napi_undefined;
    double number = 0.0;
    bool flag = false;
    std::string text;  // UTF-8
    std::map<std::string, FakeValue*> properties;
    std::map<std::string, bool> throwingGetters;  // name -> also throws on `in`
    FakeValue* prototype = nullptr;
};

struct FakeEnv {
    std::deque<FakeValue> values;
    bool exceptionPending = false;
    napi_extended_error_info lastError{};

    FakeValue* make(napi_valuetype type) {
        values.emplace_back();
        values.back().type = type;
        return &values.back();
    }
};

inline napi_env asEnv(FakeEnv* env) { return reinterpret_cast<napi_env>(env); }
inline napi_value asValue(FakeValue* value) { return reinterpret_cast<napi_value>(value); }
inline FakeValue* fromValue(napi_value value) { return reinterpret_cast<FakeValue*>(value); }

}  // namespace velmora::fuzz
