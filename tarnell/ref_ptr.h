#pragma once

#include <tarnell/ref_handle.h>
#include <tarnell/ref_obj.h>

// One reference of a data object, released with DeleteRefObject when the handle goes.
template <class T = CRefObj>
using RefPtr = RefHandle<T, CRefObj, &DeleteRefObject>;
