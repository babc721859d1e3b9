// Building one episode record from a reading: its channels, its context, its texts.
#include "accumulator_internal.hpp"

#include <charconv>

namespace orvane_accumulator {

// ---------------------------------------------------------------------------
// Building one episode
// ---------------------------------------------------------------------------

// The context values an episode reads, each already in its final form.
struct SourceInfo {
    Ref text;      // stripped
    Ref kind;      // stripped, lower-cased
    Ref category;  // stripped
    Ref product;   // stripped
    Ref tags;      // list of non-empty stripped strings, or null for none
    Ref meta;      // a mapping, or null for none
};

// str(value or "").strip(): a missing or false value gives "".
Ref context_text(ModuleState* st, PyObject* context, PyObject* key, bool lower) {
    Ref value = Ref::borrow(PyDict_GetItemWithError(context, key));
    if (!value) return PyErr_Occurred() ? Ref() : Ref::borrow(st->empty);
    int truth = PyObject_IsTrue(value.get());
    if (truth < 0) return Ref();
    if (truth == 0) return Ref::borrow(st->empty);
    Ref s = Ref::steal(PyObject_Str(value.get()));
    if (!s) return Ref();
    s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->strip));
    if (s && lower) s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->lower));
    return s;
}

bool read_context(ModuleState* st, PyObject* context, SourceInfo& src) {
    if (context == Py_None || PyDict_GET_SIZE(context) == 0) {
        src.text = src.kind = src.category = src.product = Ref::borrow(st->empty);
        return true;
    }
    // The context stays referenced by our caller; values are held while
    // Python code (str(), strip()) runs.
    if (!(src.text = context_text(st, context, st->source_text, false))) return false;
    if (!(src.kind = context_text(st, context, st->source_kind, true))) return false;
    if (!(src.category = context_text(st, context, st->source_category, false))) return false;
    if (!(src.product = context_text(st, context, st->source_product, false))) return false;

    Ref raw_tags = Ref::borrow(PyDict_GetItemWithError(context, st->source_tags));
    if (!raw_tags && PyErr_Occurred()) return false;
    if (raw_tags && PyList_Check(raw_tags.get())) {
        Ref tags = Ref::steal(PyList_New(0));
        if (!tags) return false;
        // Index by index, as list iteration does: str() may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tags.get()); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(raw_tags.get(), i));
            Ref s = Ref::steal(PyObject_Str(item.get()));
            if (!s) return false;
            s = Ref::steal(PyObject_CallMethodNoArgs(s.get(), st->strip));
            if (!s) return false;
            if (PyUnicode_GET_LENGTH(s.get()) > 0 && PyList_Append(tags.get(), s.get()) < 0) return false;
        }
        src.tags = tags;
    }

    Ref meta = Ref::borrow(PyDict_GetItemWithError(context, st->source_meta));
    if (!meta && PyErr_Occurred()) return false;
    if (meta && PyDict_Check(meta.get())) src.meta = meta;
    return true;
}

// The payload of the reading before this one, or this one's own when the
// window holds fewer than two readings.
Ref previous_payload(ModuleState* st, PyObject* self, PyObject* payload) {
    Ref window = pyhost::member(self, as_acc(self)->window, "window");
    if (!window) return Ref();
    Py_ssize_t n = PyObject_Size(window.get());
    if (n < 0) return Ref();
    if (n < 2) return Ref::borrow(payload);
    Ref record = Ref::steal(PySequence_GetItem(window.get(), -2));
    if (!record) return Ref();
    return Ref::steal(PyObject_GetItem(record.get(), st->payload));
}

// prev[key] when `key in prev`; null without an error when it is not.
Ref previous_value(PyObject* prev, PyObject* key) {
    if (PyDict_CheckExact(prev)) return Ref::borrow(PyDict_GetItemWithError(prev, key));
    int has = PySequence_Contains(prev, key);
    if (has <= 0) return Ref();
    return Ref::steal(PyObject_GetItem(prev, key));
}

bool conversion_error_absorbed() {
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError);
}

// float(value) for the values that need no Python code; `runs_code` says
// whether the general conversion (which may run any code) is needed.
bool plain_float(PyObject* value, double* out, bool* runs_code) {
    if (PyFloat_CheckExact(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_CheckExact(value)) *runs_code = true;
    return pyhost::host_float(value, out);
}

// Everything the episode takes from the payload's channels, gathered in one
// pass that converts each value with float() once:
//   - deltas (against the previous payload, for the keys it shares),
//   - the state context (every value as a float),
//   - the keys, in payload order.
// A value that does not convert fails the state context, which is built
// after the texts: that error is held until then, so that the same error
// surfaces from the same step as in the step-by-step order. Only the delta
// step absorbs type and value errors; other errors of a shared key's values
// are raised at once, as the delta step raises them.
struct Channels {
    struct Entry {
        Ref key;
        double value;
        double delta;
        bool value_ok;
        bool has_delta;
    };
    std::vector<Entry> entries;
    Ref deltas;
    Ref context;        // null when a value failed to convert
    Ref context_error;  // the first such failure, raised when the state is built
    bool all_keys_plain_str = true;
};

bool gather_channels(PyObject* payload, PyObject* prev, Channels& ch) {
    const Py_ssize_t size = PyDict_GET_SIZE(payload);
    ch.entries.reserve(static_cast<std::size_t>(size));
    // Whether any Python code ran (conversions, key comparisons): then the
    // payload may have changed since, and its table is not reused.
    bool runs_code = !PyDict_CheckExact(prev);
    bool all_shared = true, all_exact_floats = true;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(payload, &pos, &k, &v)) {
        Channels::Entry e{Ref::borrow(k), 0.0, 0.0, false, false};
        Ref value = Ref::borrow(v);
        if (!PyUnicode_CheckExact(k)) {
            ch.all_keys_plain_str = false;
            runs_code = true;
        }
        Ref before = previous_value(prev, k);
        if (!before && PyErr_Occurred()) return false;
        e.value_ok = plain_float(v, &e.value, &runs_code);
        if (!e.value_ok) {
            if (before && !conversion_error_absorbed()) return false;
            if (ch.context_error)
                PyErr_Clear();
            else
                ch.context_error = SavedError().take();
        }
        all_exact_floats = all_exact_floats && PyFloat_CheckExact(v);
        if (before) {
            e.has_delta = true;
            double p;
            if (!e.value_ok) {
                e.delta = 0.0;
            } else if (!plain_float(before.get(), &p, &runs_code)) {
                if (!conversion_error_absorbed()) return false;
                PyErr_Clear();
                e.delta = 0.0;
            } else if (!pyhost::round_half_even(e.value - p, kDeltaPlaces, &e.delta)) {
                return false;
            }
        } else {
            all_shared = false;
        }
        ch.entries.push_back(std::move(e));
        if (runs_code && PyDict_GET_SIZE(payload) != size) {  // walking on would be unsafe
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
    }

    // Both dicts are keyed as the payload, in its order; when nothing could
    // have changed the payload, its own table is copied instead of grown
    // entry by entry.
    const bool reuse_table = !runs_code;
    ch.deltas = Ref::steal(reuse_table && all_shared ? PyDict_Copy(payload) : PyDict_New());
    if (!ch.deltas) return false;
    for (const Channels::Entry& e : ch.entries) {
        if (!e.has_delta) continue;
        Ref f = Ref::steal(PyFloat_FromDouble(e.delta));
        if (!f || PyDict_SetItem(ch.deltas.get(), e.key.get(), f.get()) < 0) return false;
    }

    if (ch.context_error) return true;
    if (reuse_table) {
        ch.context = Ref::steal(PyDict_Copy(payload));  // exact floats stay: float(x) is x
        if (!ch.context) return false;
        if (all_exact_floats) return true;
    } else {
        ch.context = Ref::steal(PyDict_New());
        if (!ch.context) return false;
    }
    Py_ssize_t i = 0;
    pos = 0;
    while (reuse_table ? PyDict_Next(payload, &pos, &k, &v) : i < static_cast<Py_ssize_t>(ch.entries.size())) {
        const Channels::Entry& e = ch.entries[static_cast<std::size_t>(i++)];
        if (reuse_table && PyFloat_CheckExact(v)) continue;
        Ref f = Ref::steal(PyFloat_FromDouble(e.value));
        if (!f || PyDict_SetItem(ch.context.get(), e.key.get(), f.get()) < 0) return false;
    }
    return true;
}

// int(round(float(payload["modality_count"]))) as decimal text; "0" when absent.
Ref modality_count_text(PyObject* payload, ModuleState* st) {
    Ref raw = Ref::borrow(PyDict_GetItemWithError(payload, st->modality_count));
    if (!raw) return PyErr_Occurred() ? Ref() : Ref::borrow(st->zero_text);
    double x;
    if (!pyhost::host_float(raw.get(), &x)) return Ref();
    // nearbyint: ties to even, as round() does; NaN and infinities fail in
    // the conversion to int with the interpreter's own errors.
    Ref n = Ref::steal(PyLong_FromDouble(std::nearbyint(x)));
    return n ? Ref::steal(PyObject_Str(n.get())) : Ref();
}

// float(payload.get("nl_text_len", 0.0) or 0.0) > 0.0
int has_text(PyObject* payload, ModuleState* st) {
    Ref raw = Ref::borrow(PyDict_GetItemWithError(payload, st->nl_text_len));
    if (!raw) return PyErr_Occurred() ? -1 : 0;
    int truth = PyObject_IsTrue(raw.get());
    if (truth <= 0) return truth;
    double x;
    if (!pyhost::host_float(raw.get(), &x)) return -1;
    return x > 0.0 ? 1 : 0;
}

// repr() of a delta, a value already rounded to kDeltaPlaces, from 1e-4 up
// to 1e9: the decimal M / 10^6 it was rounded to, written directly. It has
// at most 15 significant digits, so no other decimal that short reads back
// as the same double, and repr() writes the shortest one. Other values take
// the general path. Writes at most 32 characters; returns how many.
std::size_t delta_repr(char* out, double d) {
    static_assert(kDeltaPlaces == 6);
    const double ad = std::fabs(d);
    const double m = std::rint(ad * 1e6);
    if (!(ad >= 1e-4 && ad < 1e9) || m / 1e6 != ad) {
        const std::string text = pyhost::float_repr(d);
        return static_cast<std::size_t>(text.copy(out, 32));
    }
    const auto digits = static_cast<unsigned long long>(m);
    unsigned long long fraction = digits % 1000000;
    int places = kDeltaPlaces;
    for (; places > 1 && fraction % 10 == 0; --places) fraction /= 10;  // "1.500000" -> "1.5", "2.000000" -> "2.0"
    char* p = out;
    if (d < 0) *p++ = '-';
    p = std::to_chars(p, p + 16, digits / 1000000).ptr;
    *p++ = '.';
    for (int i = places - 1; i >= 0; --i, fraction /= 10) p[i] = static_cast<char>('0' + fraction % 10);
    return static_cast<std::size_t>(p + places - out);
}

// "delta_<key>=<float text>" for the first entries of the deltas.
Ref action_steps(PyObject* deltas, ModuleState* st) {
    const Py_ssize_t n = std::min(PyDict_GET_SIZE(deltas), kSteps);
    Ref steps = Ref::steal(PyList_New(n));
    if (!steps) return Ref();
    Py_ssize_t pos = 0, i = 0;
    PyObject *k, *v;
    char number[32];
    while (i < n && PyDict_Next(deltas, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        if (!PyUnicode_CheckExact(k)) {
            key = Ref::steal(PyObject_Format(k, st->empty));  // as an f-string writes it
            if (!key) return Ref();
        }
        const std::size_t digits = delta_repr(number, PyFloat_AS_DOUBLE(v));
        PyObject* step;
        if (PyUnicode_IS_ASCII(key.get())) {
            // The usual channel name: the whole step is ASCII, written at once.
            const Py_ssize_t klen = PyUnicode_GET_LENGTH(key.get());
            step = PyUnicode_New(7 + klen + static_cast<Py_ssize_t>(digits), 127);
            if (step == nullptr) return Ref();
            char* out = static_cast<char*>(PyUnicode_DATA(step));
            std::memcpy(out, "delta_", 6);
            std::memcpy(out + 6, PyUnicode_DATA(key.get()), static_cast<std::size_t>(klen));
            out[6 + klen] = '=';
            std::memcpy(out + 7 + klen, number, digits);
        } else {
            step = concat("delta_", key.get(), "=", std::string_view(number, digits)).release();
            if (step == nullptr) return Ref();
        }
        PyList_SET_ITEM(steps.get(), i++, step);
    }
    return steps;
}

// "brenlow", "sensor", the device id, "multimodal" for a multimodal reading,
// then the source tags, each once.
Ref episode_tags(ModuleState* st, PyObject* device_id, bool multimodal, PyObject* source_tags) {
    Py_ssize_t n = 0;
    Ref tags = Ref::steal(PyList_New(3));
    if (!tags) return Ref();
    for (PyObject* tag : {st->brenlow, st->sensor, device_id}) PyList_SET_ITEM(tags.get(), n++, Py_NewRef(tag));
    auto add_new = [&](PyObject* tag) {
        int has = PySequence_Contains(tags.get(), tag);  // all exact str: no Python code
        if (has < 0) return false;
        return has == 1 || PyList_Append(tags.get(), tag) == 0;
    };
    if (multimodal && !add_new(st->multimodal)) return Ref();
    if (source_tags != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(source_tags); ++i)
            if (!add_new(PyList_GET_ITEM(source_tags, i))) return Ref();
    }
    return tags;
}

// A new record copied from `layout` (its keys in order), holding the given
// values (borrowed). Every key must be one of the layout's: replacing the
// value of a present key keeps the table and the order as they are. Without
// a layout, a new dict of the given items, in order (a layout itself).
Ref record(PyObject* layout, std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
    Ref d = Ref::steal(layout != nullptr ? PyDict_Copy(layout) : PyDict_New());
    if (!d) return Ref();
    for (const auto& [key, value] : items)
        if (PyDict_SetItem(d.get(), key, value) < 0) return Ref();
    return d;
}

PyObject* build_episode(ModuleState* st, PyObject* self, PyObject* timestamp, PyObject* payload, PyObject* context) {
    Ref device_id = pyhost::member(self, as_acc(self)->device_id, "device_id");
    if (!device_id) return nullptr;
    PyObject* dev = device_id.get();

    Ref prev = previous_payload(st, self, payload);
    if (!prev) return nullptr;

    SourceInfo src;
    if (!read_context(st, context, src)) return nullptr;

    Channels ch;
    if (!gather_channels(payload, prev.get(), ch)) return nullptr;
    const Py_ssize_t channels = static_cast<Py_ssize_t>(ch.entries.size());
    const Py_ssize_t named_keys = std::min(channels, kFeatureKeys);
    const bool text_form = PyUnicode_GET_LENGTH(src.text.get()) > 0;

    Ref modality_count = modality_count_text(payload, st);
    if (!modality_count) return nullptr;
    const int text_present = has_text(payload, st);
    if (text_present < 0) return nullptr;

    const Ref& preview_source = src.text;
    Ref preview = PyUnicode_GET_LENGTH(preview_source.get()) > kPreviewChars
                      ? Ref::steal(PyUnicode_Substring(preview_source.get(), 0, kPreviewChars))
                      : preview_source;
    if (!preview) return nullptr;

    int starts = PyUnicode_Tailmatch(src.kind.get(), st->multimodal, 0, PY_SSIZE_T_MAX, -1);
    if (starts < 0) return nullptr;
    const bool multimodal = starts == 1;

    Ref product = PyUnicode_GET_LENGTH(src.product.get()) > 0
                      ? src.product
                      : Ref::borrow(multimodal ? st->brenlow_multimodal : st->brenlow_sensor);
    Ref category = PyUnicode_GET_LENGTH(src.category.get()) > 0 ? src.category : concat("device_", dev);
    if (!category) return nullptr;

    // Keys that are not exact strings go through str.join, which accepts
    // subclasses and refuses anything else with its own message.
    Ref joined;
    if (!text_form && !ch.all_keys_plain_str) {
        Ref keys = Ref::steal(PyList_New(named_keys));
        if (!keys) return nullptr;
        for (Py_ssize_t i = 0; i < named_keys; ++i)
            PyList_SET_ITEM(keys.get(), i, Py_NewRef(ch.entries[static_cast<std::size_t>(i)].key.get()));
        joined = Ref::steal(PyUnicode_Join(st->key_separator, keys.get()));
        if (!joined) return nullptr;
    }
    const std::string channel_text = std::to_string(channels);
    TextBuilder text;
    text.add(text_form ? "Brenlow multimodal episode for device " : "Brenlow sensor episode for device ");
    text.add(dev);
    text.add(" at ");
    text.add(timestamp);
    text.add(". Channels: ");
    text.add(channel_text);
    text.add(". Modality count: ");
    text.add(modality_count.get());
    if (text_form) {
        text.add(". Source text: ");
        text.add(preview.get());
    } else {
        text.add(". Natural language present: ");
        text.add(text_present ? "yes" : "no");
        text.add(". Feature keys: ");
        if (joined) text.add(joined.get());
        for (Py_ssize_t i = 0; !joined && i < named_keys; ++i) {
            if (i > 0) text.add(st->key_separator);
            text.add(ch.entries[static_cast<std::size_t>(i)].key.get());
        }
        text.add(".");
    }
    Ref canonical = Ref::steal(text.build());
    if (!canonical) return nullptr;

    // State.
    if (ch.context_error) {
        pyhost::raise_object(std::move(ch.context_error));
        return nullptr;
    }
    Ref state_description = concat(multimodal ? "Multimodal reading at " : "Sensor reading at ", timestamp);
    if (!state_description) return nullptr;
    Ref channel_count = Ref::steal(PyLong_FromSsize_t(channels));
    if (!channel_count) return nullptr;
    Ref state_metadata = record(st->layout_state_metadata, {{st->channel_count, channel_count.get()}});
    if (!state_metadata) return nullptr;
    if (PyUnicode_GET_LENGTH(src.kind.get()) > 0 &&
        PyDict_SetItem(state_metadata.get(), st->source_kind, src.kind.get()) < 0)
        return nullptr;
    if (src.meta && PyDict_Update(state_metadata.get(), src.meta.get()) < 0) return nullptr;
    Ref state = record(st->layout_state, {{st->description, state_description.get()},
                                          {st->context, ch.context.get()},
                                          {st->timestamp, timestamp},
                                          {st->metadata, state_metadata.get()}});
    if (!state) return nullptr;

    // Action.
    Ref steps = action_steps(ch.deltas.get(), st);
    if (!steps) return nullptr;
    Ref commands = Ref::steal(PyList_New(0));
    Ref action_metadata = record(st->layout_action_metadata, {{st->deltas, ch.deltas.get()}});
    if (!commands || !action_metadata) return nullptr;
    Ref action =
        record(multimodal ? st->layout_action_multimodal : st->layout_action_sensor,
               {{st->steps, steps.get()}, {st->commands, commands.get()}, {st->metadata, action_metadata.get()}});
    if (!action) return nullptr;

    // Outcome.
    Ref metrics = Ref::steal(PyDict_New());
    if (!metrics) return nullptr;
    Ref outcome_metadata = record(st->layout_outcome_metadata, {{st->device_id, dev}});
    if (!outcome_metadata) return nullptr;
    Ref outcome = record(st->layout_outcome, {{st->metrics, metrics.get()}, {st->metadata, outcome_metadata.get()}});
    if (!outcome) return nullptr;

    Ref tags = episode_tags(st, dev, multimodal, src.tags.get());
    if (!tags) return nullptr;

    char hex[kIdSuffix];
    if (!pyhost::random_hex(hex, kIdSuffix)) return nullptr;
    Ref episode_id = concat(dev, "_", timestamp, "_", std::string_view(hex, kIdSuffix));
    if (!episode_id) return nullptr;

    Ref embeddings = record(st->layout_embeddings, {{st->text, canonical.get()}});
    Ref metadata = record(st->layout_metadata, {{st->tags, tags.get()}});
    if (!embeddings || !metadata) return nullptr;
    // The layout holds the usual product; another one replaces it in place.
    Ref episode = record(st->layout_episode, {{st->episode_id, episode_id.get()},
                                              {st->category, category.get()},
                                              {st->state, state.get()},
                                              {st->action, action.get()},
                                              {st->outcome, outcome.get()},
                                              {st->embeddings, embeddings.get()},
                                              {st->metadata, metadata.get()}});
    if (!episode) return nullptr;
    if (product.get() != st->brenlow_sensor && PyDict_SetItem(episode.get(), st->product, product.get()) < 0)
        return nullptr;
    return episode.release();
}

}  // namespace orvane_accumulator
