# The module as Python code over the C interface of the logic (abi/kestrin_abi.h), for PyPy:
# its JIT compiles this code and the cffi calls in it, where every object made through its
# emulation of the C API would cross a bridge. Every rule of the C API module holds here in the
# same words and order: the receiver, the borrow, the arguments, the conversions, the internal
# faults.
#
# Frames: every entry point and every helper is hidden from tracebacks (hidden_applevel), so
# that an error shows the caller's line and, for an error of caller code, the caller's own
# frames only, as it does when a built-in raises.
#
# Threads: the C API module runs each call under the interpreter lock, which it lets go only
# while caller code runs. Python code can be switched out anywhere, so each instance has a
# lock of its own that stands for that: a call holds it except while caller code runs, so a
# call from another thread waits where it would have waited for the interpreter lock, and is
# refused by the borrow where it could have come in under that lock (during caller code). The
# lock is re-entrant for a finalizer that calls back on the thread that holds it. No cffi call
# touches Python, so a thread ended inside one leaves nothing half done.
#
# Signals: the interpreter runs a signal's handler between any two bytecodes, this code's too,
# where the C API module's calls are one step that a handler runs before or after. An exception
# from a handler (KeyboardInterrupt) could then leave the borrow taken, the lock held, or a
# sequent stored natively and not in the values. So a call holds signals back from before it
# takes anything to after it has let everything go, and lets them through only while it waits
# for another thread's call or runs caller code, as the C API module does: a handler's exception
# then comes out of that wait or the caller's code, or at the caller's line after the call.

import os
import sys
import _thread

from ._ffi import ffi as _ffi

try:
    from __pypy__ import add_memory_pressure, hidden_applevel
    from __pypy__.thread import _signals_enter, _signals_exit
except ImportError:  # not PyPy: frames, the collector and signals as they are
    def hidden_applevel(function):
        return function

    def add_memory_pressure(size):
        pass

    def _signals_enter():
        pass

    def _signals_exit():
        pass

_lib = _ffi.dlopen(os.path.join(os.path.dirname(os.path.abspath(__file__)), "libkestrin_abi.so"))
_unpack = _ffi.unpack
_OK = _lib.KESTRIN_OK
_REFUSED = _lib.KESTRIN_REFUSED
_NO_MEMORY = _lib.KESTRIN_NO_MEMORY

# Native memory is reported to the collector in steps of this many bytes.
_PRESSURE_STEP = 1 << 20

_ONCE = "PyO3 modules may only be initialized once per interpreter process"
_MUTABLY_BORROWED = "Already mutably borrowed"
_BORROWED = "Already borrowed"
_NO_TYPE_NAME = "<failed to extract type name>"
_NOTICE = ("An internal fault raised by Python code reached native code.\n"
           "It is passed on as a new internal fault; its traceback follows.\n")
_PANIC_DOC = """
Raised when native code called from Python fails unexpectedly.

Like SystemExit, it derives from BaseException rather than Exception, so an ordinary
`except Exception` does not stop it: it usually travels to the top and ends the
interpreter.
"""
_FUNCTION_PARAMETERS = ("name", "argument_type", "result_type")
_SEQUENT_PARAMETERS = ("s",)
_SEPARATOR = b"\xff"


class _Faults:
    """The internal-fault class, made at first need (see panic_type)."""
    __slots__ = ("panic",)


_faults = _Faults()
_faults.panic = None


@hidden_applevel
def _panic_type():
    panic = _faults.panic
    if panic is None:
        panic = _faults.panic = type("PanicException", (BaseException,),
                                     {"__module__": "pyo3_runtime", "__doc__": _PANIC_DOC})
    return panic


class _State:
    """What an instance holds: the native environment, the borrow flag (0 free, n > 0
    readers, -1 one changing call), the lock that stands for the interpreter lock and the fork
    generation it was last taken in, the function names by number, each stored sequent's term
    objects (two per equation, premises first) and, apart, its premise count, and the native
    bytes not yet reported to the collector."""
    __slots__ = ("core", "borrow", "lock", "generation", "names", "sequents", "premise_counts",
                 "unreported", "size")


# ---------------------------------------------------------------------------------------------
# Failures


@hidden_applevel
def _logic_message(state):
    return _unpack(_lib.kestrin_message(state.core, state.size), state.size[0]).decode(
        "utf-8", "surrogatepass")


@hidden_applevel
def _native_failure(state, status):
    """The exception for a status other than OK."""
    if status == _REFUSED:
        return ValueError(_logic_message(state))
    if status == _NO_MEMORY:
        return MemoryError()
    return _panic_type()(_logic_message(state))


@hidden_applevel
def _report(exception):
    """Prints an exception as the interpreter prints an uncaught one, without the caller's
    hook; whatever the printing raises (a broken sys.stderr) is dropped."""
    try:
        sys.__excepthook__(type(exception), exception, exception.__traceback__)
    except BaseException:
        pass


@hidden_applevel
def _returned_fault(exception):
    """An internal fault raised by caller code has come back: reported, and passed on as a new
    one with its message."""
    try:
        description = str(exception)
    except BaseException:
        description = "<unprintable internal fault>"
    try:
        sys.stderr.write(_NOTICE)
    except BaseException:
        pass
    _report(exception)
    return _panic_type()(description)


@hidden_applevel
def _api_failure(exception):
    """Memory ran out while Python objects were made: printed, then an internal fault."""
    _report(exception)
    return _panic_type()("Python API call failed")


@hidden_applevel
def _caller_error(exception):
    """What a call raises after caller code raised `exception` where only a hint was lost:
    nothing (None) for an ordinary error, which is dropped; anything else as it is."""
    panic = _faults.panic
    if panic is not None and isinstance(exception, panic):
        return _returned_fault(exception)
    if isinstance(exception, Exception):
        return None
    return exception


@hidden_applevel
def _passed_on(exception):
    """An error of caller code that the call raises: itself, or a new internal fault."""
    panic = _panic_type()
    if isinstance(exception, panic):
        return _returned_fault(exception)
    return exception


@hidden_applevel
def _type_name(state, value):
    """The __qualname__ of the value's type, as a message names it."""
    kind = type(value)
    if type(kind) is type:
        return kind.__qualname__
    # Only another metatype can compute the name: caller code.
    saved = state.lock._release_save()
    try:
        _allow_signals()
        name = kind.__qualname__
    except BaseException as exception:
        error = _caller_error(exception)
        if error is not None:
            raise error
        return _NO_TYPE_NAME
    finally:
        _hold_signals()
        state.lock._acquire_restore(saved)
    if not isinstance(name, str):
        return _NO_TYPE_NAME
    return str.__str__(name)


@hidden_applevel
def _reworded(message, cause=None):
    """A TypeError naming the parameter, as `raise ... from None` (or from the first error's
    cause) leaves it."""
    error = TypeError(message)
    error.__cause__ = cause
    error.__suppress_context__ = True
    return error


@hidden_applevel
def _not_converted(state, value, target, parameter):
    return _reworded("argument '%s': '%s' object cannot be converted to '%s'"
                     % (parameter, _type_name(state, value), target))


# ---------------------------------------------------------------------------------------------
# Arguments


@hidden_applevel
def _shown(state, keyword):
    """The str of a keyword, for a message. CAUTION: caller code (a str subclass's __str__),
    whose error is the call's."""
    if type(keyword) is str:
        return keyword
    saved = state.lock._release_save()
    try:
        _allow_signals()
        return str(keyword)
    except BaseException as exception:
        raise _passed_on(exception)
    finally:
        _hold_signals()
        state.lock._acquire_restore(saved)


@hidden_applevel
def _parse(state, call, parameters, args, kwargs):
    """One value per parameter from the positional arguments after the receiver and the
    keywords, or raises with the interpreter's words."""
    count = len(parameters)
    given = len(args) - 1
    if given > count:
        raise TypeError("%s takes %d positional arguments but %d %s given"
                        % (call, count, given, "was" if given == 1 else "were"))
    slots = list(args[1:])
    slots.extend([_MISSING] * (count - given))
    for keyword, value in kwargs.items():
        # A keyword is matched by its own text, never by caller code.
        text = keyword if type(keyword) is str else str.__str__(keyword)
        match = -1
        for position in range(count):
            if parameters[position] == text:
                match = position
        if match < 0:
            raise TypeError("%s got an unexpected keyword argument '%s'"
                            % (call, _shown(state, keyword)))
        if slots[match] is not _MISSING:
            raise TypeError("%s got multiple values for argument '%s'"
                            % (call, parameters[match]))
        slots[match] = value
    missing = [parameters[p] for p in range(count) if slots[p] is _MISSING]
    if missing:
        if len(missing) == 1:
            listed = "'%s'" % missing[0]
        elif len(missing) == 2:
            listed = "'%s' and '%s'" % tuple(missing)
        else:
            listed = ", ".join("'%s'" % m for m in missing[:-1]) + ", and '%s'" % missing[-1]
        raise TypeError("%s missing %d required positional %s: %s"
                        % (call, len(missing), "argument" if len(missing) == 1 else "arguments",
                           listed))
    return slots


class _Missing:
    __slots__ = ()


_MISSING = _Missing()


@hidden_applevel
def _text(state, value, parameter):
    """The UTF-8 bytes of a str argument."""
    if type(value) is not str and not issubclass(type(value), str):
        raise _not_converted(state, value, "PyString", parameter)
    try:
        return str.encode(value, "utf-8")
    except UnicodeEncodeError as error:
        # The first exception taken from the interpreter: the internal-fault class is made now,
        # as it is made to be compared with such an exception.
        _panic_type()
        start = end = error.start
    # CPython's encoder reports a run of lone surrogates as one error, PyPy's the first alone.
    while end < len(value) and 0xD800 <= ord(value[end]) <= 0xDFFF:
        end += 1
    raise UnicodeEncodeError("utf-8", value, start, end, "surrogates not allowed")


@hidden_applevel
def _is_sequence(kind):
    """Whether the interpreter's C API counts instances of `kind` as sequences: an item
    lookup by index, which a dict or a mapping-only type lacks. Read from the classes' own
    namespaces: a lookup through the type could run caller code."""
    if issubclass(kind, dict) or kind in _MAPPING_ONLY:
        return False
    if type(kind) is type and kind.__module__ == "re" and kind.__qualname__ == "Match":
        return False
    for base in kind.__mro__:
        if "__getitem__" in base.__dict__:
            return True
    return False


@hidden_applevel
def _texts(state, value, parameter):
    """The UTF-8 bytes of each item of a sequence argument."""
    kind = type(value)
    if kind is list or kind is tuple:
        # No caller code: the items are the container's own. A loop, not a comprehension,
        # whose frame of its own would show in a traceback.
        texts = []
        for item in value:
            texts.append(_text(state, item, parameter))
        return texts
    # CAUTION: caller code, each stretch with the lock let go (see the top of this file): the
    # instance test, __len__, __iter__, __next__.
    lock = state.lock
    saved = lock._release_save()
    try:
        _allow_signals()
        is_text = isinstance(value, str)
    except BaseException as exception:
        error = _caller_error(exception)
        if error is not None:
            raise error
        is_text = False
    finally:
        _hold_signals()
        lock._acquire_restore(saved)
    if is_text:
        raise ValueError("Can't extract `str` to `Vec`")
    if not _is_sequence(kind):
        raise _not_converted(state, value, "Sequence", parameter)
    saved = lock._release_save()
    try:
        _allow_signals()
        len(value)  # only a hint to the C API module, but caller code all the same
    except BaseException as exception:
        error = _caller_error(exception)
        if error is not None:
            raise error
    finally:
        _hold_signals()
        lock._acquire_restore(saved)
    saved = lock._release_save()
    try:
        _allow_signals()
        iterator = iter(value)
    except BaseException as exception:
        raise _first_error(exception, parameter)
    finally:
        _hold_signals()
        lock._acquire_restore(saved)
    texts = []
    while True:
        saved = lock._release_save()
        try:
            _allow_signals()
            item = next(iterator)
        except StopIteration:
            break
        except BaseException as exception:
            raise _first_error(exception, parameter)
        finally:
            _hold_signals()
            lock._acquire_restore(saved)
        texts.append(_text(state, item, parameter))
    return texts


@hidden_applevel
def _first_error(exception, parameter):
    """What a call raises for an error of the caller's sequence: an exact TypeError re-worded to
    name the parameter (the first error becomes its context), anything else unchanged."""
    exception = _passed_on(exception)
    if type(exception) is not TypeError:
        return exception
    try:
        message = str(exception)
    except BaseException as unprintable:
        error = _caller_error(unprintable)
        return exception if error is None else error
    error = _reworded("argument '%s': %s" % (parameter, message), exception.__cause__)
    # Set here: a hidden frame's handler is no context that the interpreter would give.
    error.__context__ = exception
    return error


# ---------------------------------------------------------------------------------------------
# The frame


@hidden_applevel
def _receiver(self, name):
    if type(self) is not Environment:
        raise TypeError("descriptor '%s' for 'builtins.Environment' objects doesn't apply to a "
                        "'%s' object" % (name, type(self).__name__))
    return self._state


@hidden_applevel
def _take_exclusive(state):
    if state.borrow != 0:
        raise RuntimeError(_BORROWED)
    state.borrow = -1


@hidden_applevel
def _take_shared(state):
    if state.borrow == -1:
        raise RuntimeError(_MUTABLY_BORROWED)
    state.borrow += 1


@hidden_applevel
def _declare_function(state, args, kwargs):
    if len(args) == 4 and not kwargs:
        name, argument_type, result_type = args[1], args[2], args[3]
    else:
        name, argument_type, result_type = _parse(
            state, "Environment.declare_function()", _FUNCTION_PARAMETERS, args, kwargs)
    parts = [_text(state, name, "name")]
    parts.extend(_texts(state, argument_type, "argument_type"))
    parts.append(_text(state, result_type, "result_type"))
    parts.append(b"")
    blob = _SEPARATOR.join(parts)
    # The name goes in before the logic stores the function, and out if it refuses: a name
    # that memory ran out for after the function was stored would give every later function's
    # terms the name of the one before.
    names = state.names
    names.append(name if type(name) is str else str.__str__(name))
    status = _lib.kestrin_declare_function(state.core, blob, len(blob), len(parts) - 1)
    if status != _OK:
        names.pop()
        raise _native_failure(state, status)


@hidden_applevel
def _shared_items():
    """An empty list that keeps each item as the object it is given. PyPy stores a list of str
    alone as their texts and makes a new str object at each read of an item, so a name read for
    each of its terms would be as many objects for the collector; once such a list has held
    another kind of item it keeps objects for good."""
    items = [None]
    items.pop()
    return items


@hidden_applevel
def _declare_sequent(state, args, kwargs):
    if len(args) == 2 and not kwargs:
        text = args[1]
    else:
        (text,) = _parse(state, "Environment.declare_sequent()", _SEQUENT_PARAMETERS, args, kwargs)
    data = _text(state, text, "s")
    core = state.core
    status = _lib.kestrin_declare_sequent(core, data, len(data))
    if status != _OK:
        raise _native_failure(state, status)
    size = state.size
    codes = _lib.kestrin_terms(core, size)
    count = size[0]
    names = state.names
    sequents = state.sequents
    stored = len(sequents)
    try:
        # Each subtree comes after its arguments, which are the last terms made. The sequent's
        # terms are a list of their own: appending to one list of every term would have the
        # collector look through all of it at each of its passes.
        terms = []
        # A variable's name is made once per sequent and shared by its occurrences, as a
        # function symbol's is (each occurrence still has a tuple and a list of its own): on
        # PyPy every str is two objects that the collector moves and marks. A sequent's
        # variables are numbered on from its first, in the order they are met.
        variables = _shared_items()
        first = -1
        i = 2
        while i < count:
            code = codes[i]
            if code < 0:
                number = -1 - code
                if first < 0:
                    first = number
                if number - first < len(variables):
                    terms.append((variables[number - first], []))
                else:
                    variable = "?" + str(number)
                    variables.append(variable)
                    terms.append((variable, []))
                i += 1
                continue
            name = names[codes[i + 1]]
            if code == 0:
                terms.append((name, []))
            else:
                arguments = terms[-code:]
                del terms[-code:]
                terms.append((name, arguments))
            i += 2
        sequents.append(terms)
        # The premise counts are a list of their own, which PyPy keeps as plain numbers: a
        # pair per sequent would be two more objects for the collector to move and mark.
        state.premise_counts.append(codes[0])
    except MemoryError as exception:
        # The logic stored the sequent before its values were made: it is taken back, so that
        # the text and the values of the environment stay in step.
        del sequents[stored:]
        _lib.kestrin_drop_last_sequent(core)
        raise _api_failure(exception)
    state.unreported += count * 16 + len(data)
    if state.unreported >= _PRESSURE_STEP:
        add_memory_pressure(state.unreported)
        state.unreported = 0


@hidden_applevel
def _decoded(pointer, size):
    return _unpack(pointer, size).decode("utf-8")


@hidden_applevel
def _sorts(state):
    core, size = state.core, state.size
    sorts = []
    for i in range(_lib.kestrin_sort_count(core)):
        sorts.append(_decoded(_lib.kestrin_sort(core, i, size), size[0]))
    return sorts


@hidden_applevel
def _functions(state):
    core, size = state.core, state.size
    functions = []
    for f in range(_lib.kestrin_function_count(core)):
        arity = _lib.kestrin_function_arity(core, f)
        name = _decoded(_lib.kestrin_function_part(core, f, 0, size), size[0])
        argument_type = []
        for p in range(1, arity + 1):
            argument_type.append(_decoded(_lib.kestrin_function_part(core, f, p, size), size[0]))
        result_type = _decoded(_lib.kestrin_function_part(core, f, arity + 1, size), size[0])
        functions.append((name, argument_type, result_type))
    return functions


@hidden_applevel
def _sequents(state):
    sequents = []
    for premise_count, terms in zip(state.premise_counts, state.sequents):
        premises = []
        conclusions = []
        at = 0
        while at < 2 * premise_count:
            premises.append((terms[at], terms[at + 1]))
            at += 2
        while at < len(terms):
            conclusions.append((terms[at], terms[at + 1]))
            at += 2
        sequents.append((premises, conclusions))
    return sequents


@hidden_applevel
def _text_of(state):
    core = state.core
    size = _lib.kestrin_text_size(core)
    if size == 0:
        return ""
    buffer = _ffi.new("char[]", size)
    _lib.kestrin_text(core, buffer)
    return _unpack(buffer, size).decode("utf-8")


class _Forks:
    """How many times this process is a fork's child: a lock taken in an earlier generation
    was taken by a thread the fork left behind, which never lets it go."""
    __slots__ = ("generation",)


_forks = _Forks()
_forks.generation = 0

# Per thread that has called: whether it handles signals (the main thread, unless told
# otherwise), which only such a thread can hold back, and if so whether a call holds them back
# now. The state is changed while signals are held back on either side of the change, so that
# it is right wherever a handler can run: a call that a handler's exception ends where it meant
# to change it leaves it right for the one that lets signals through.
_NO_SIGNALS, _LETTING, _HOLDING = 0, 1, 2
_signal_states = {}


def _count_fork():
    _forks.generation += 1
    # The child's one thread is its main thread now.
    _signal_states.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_count_fork)


@hidden_applevel
def _lock_of(state):
    """The instance's lock, not taken. A fork's child replaces one taken in an earlier
    generation, so that the gone thread's borrow is refused at once instead of waited on."""
    if state.generation != _forks.generation:
        lock = state.lock
        if lock.acquire(False):
            lock.release()
        else:
            state.lock = _thread.RLock()
        state.generation = _forks.generation
    return state.lock


@hidden_applevel
def _hold_signals():
    """Holds signals back on a thread that handles them; says whether this call did, so that
    the call lets them through at its end (a finalizer calling back inside a call finds them
    held back already)."""
    ident = _thread.get_ident()
    state = _signal_states.get(ident, -1)
    if state == _LETTING:
        _signals_exit()
        _signal_states[ident] = _HOLDING
        return True
    if state >= 0:
        return False
    try:
        _signals_exit()
    except RuntimeError:  # a thread that handles no signal
        _signal_states[ident] = _NO_SIGNALS
        return False
    _signal_states[ident] = _HOLDING
    return True


@hidden_applevel
def _allow_signals():
    ident = _thread.get_ident()
    if _signal_states.get(ident, -1) == _HOLDING:
        _signal_states[ident] = _LETTING
        _signals_enter()


@hidden_applevel
def _wait_for(lock, held):
    """Takes the lock that another thread's call holds. The wait answers a signal, as the C API
    module's wait does: a handler's exception ends it, nothing taken."""
    if not held:
        lock.acquire()
        return
    try:
        _allow_signals()
        lock.acquire()
    finally:
        _hold_signals()


@hidden_applevel
def _in_turn(state, exclusive, work, *args):
    """work(*args) with the instance's lock and its borrow, exclusive or shared. Signals are held
    back before anything is taken and let through after everything is let go: a with statement
    would not do, as a handler can run between its body's end and the lock's release. The lock
    is let go if this thread has it: a handler's exception can end a wait just after the lock
    was taken, or caller code's stretch before the lock was taken back."""
    held = _hold_signals()
    try:
        lock = _lock_of(state)
        try:
            if not lock.acquire(False):
                _wait_for(lock, held)
            if exclusive:
                _take_exclusive(state)
            else:
                _take_shared(state)
            try:
                return work(*args)
            finally:
                if exclusive:
                    state.borrow = 0
                else:
                    state.borrow -= 1
        finally:
            if lock._is_owned():
                lock.release()
    finally:
        if held:
            _allow_signals()


@hidden_applevel
def _changing(method, args, kwargs, name):
    if not args:
        raise TypeError("descriptor '%s' of 'builtins.Environment' object needs an argument"
                        % name)
    state = _receiver(args[0], name)
    _in_turn(state, True, method, state, args, kwargs)


@hidden_applevel
def _reading(view, self, name):
    state = _receiver(self, name)
    try:
        return _in_turn(state, False, view, state)
    except MemoryError as exception:
        raise _api_failure(exception)


@hidden_applevel
def _new(cls, *args, **kwargs):
    if not isinstance(cls, type):
        raise TypeError("Environment.__new__(X): X is not a type object (%s)" % type(cls).__name__)
    if cls is not Environment:
        raise TypeError("Environment.__new__(%s): %s is not a subtype of Environment"
                        % (cls.__name__, cls.__name__))
    core = _lib.kestrin_new()
    if core == _ffi.NULL:
        raise MemoryError()
    state = _State()
    state.core = _ffi.gc(core, _lib.kestrin_free)
    state.borrow = 0
    state.lock = _thread.RLock()
    state.generation = _forks.generation
    state.names = _shared_items()
    state.sequents = []
    state.premise_counts = []
    state.unreported = 0
    state.size = _ffi.new("ptrdiff_t[1]")
    self = object.__new__(cls)
    object.__setattr__(self, "_state", state)
    return self


@hidden_applevel
def _refuse_subclass(cls, **kwargs):
    raise TypeError("type 'builtins.Environment' is not an acceptable base type")


@hidden_applevel
def _refuse_attribute(self, name, *value):
    if not isinstance(name, str):
        raise TypeError("attribute name must be string, not '%s'" % type(name).__name__)
    if name in ("sorts", "functions", "sequents"):
        raise AttributeError("attribute '%s' of 'builtins.Environment' objects is not writable"
                             % name)
    if name != "__dict__" and (name in ("declare_function", "declare_sequent")
                               or hasattr(object, name)):
        raise AttributeError("'builtins.Environment' object attribute '%s' is read-only" % name)
    raise AttributeError("'builtins.Environment' object has no attribute '%s'" % name)


@hidden_applevel
def _refuse_reduction(self, protocol):
    raise TypeError("cannot pickle 'Environment' object" if protocol < 2
                    else "cannot pickle 'builtins.Environment' object")


@hidden_applevel
def _no_dictionary(self):
    raise AttributeError("'builtins.Environment' object has no attribute '__dict__'")


@hidden_applevel
def declare_function(*args, **kwargs):
    _changing(_declare_function, args, kwargs, "declare_function")


@hidden_applevel
def declare_sequent(*args, **kwargs):
    _changing(_declare_sequent, args, kwargs, "declare_sequent")


@hidden_applevel
def _get_sorts(self):
    return _reading(_sorts, self, "sorts")


@hidden_applevel
def _get_functions(self):
    return _reading(_functions, self, "functions")


@hidden_applevel
def _get_sequents(self):
    return _reading(_sequents, self, "sequents")


@hidden_applevel
def _str(self):
    if type(self) is not Environment:
        raise TypeError("descriptor '__str__' requires a 'builtins.Environment' object but "
                        "received a '%s'" % type(self).__name__)
    return _reading(_text_of, self, "__str__")


class Environment:
    __slots__ = ("_state",)
    __module__ = "builtins"
    __new__ = _new
    __init_subclass__ = classmethod(_refuse_subclass)
    __setattr__ = _refuse_attribute
    __delattr__ = _refuse_attribute
    __reduce_ex__ = _refuse_reduction
    __dict__ = property(_no_dictionary)
    __str__ = _str
    declare_function = declare_function
    declare_sequent = declare_sequent
    sorts = property(_get_sorts, doc="")
    functions = property(_get_functions, doc="")
    sequents = property(_get_sequents, doc="")


del declare_function, declare_sequent


def __initialize():
    """The class, once per process: a module made a second time could not be kept apart."""
    if not _lib.kestrin_claim_module():
        raise ImportError(_ONCE)
    return Environment


# Built-in types that look items up by key alone, which the C API does not count as sequences
# (re's match objects too, compared by name so that importing the module costs no import of re).
_MAPPING_ONLY = (type(type.__dict__), type(list[int]))
