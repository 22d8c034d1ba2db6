// Translation core: the translator registry and the instances built from it.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_internal.h"

namespace {

std::vector<hvn_translator*>& registry() {
    static auto* translators = new std::vector<hvn_translator*>;  // see registry_lock()
    return *translators;
}

// Results the next registrations return instead of registering (0: register as usual).
constexpr int kMaxScriptedResults = 8;
int g_scripted[kMaxScriptedResults];
int g_scripted_count = 0;
int g_scripted_next = 0;
int g_registration_calls = 0;

bool valid_descriptor(const hvn_translator* t) {
    if (!t || t->name[0] == '\0' || !t->framein) return false;
    if (t->buf_size < 0 || t->desc_size < 0 || t->buffer_samples < 0) return false;
    // The name fields are fixed arrays: an unterminated one would be read past its end.
    if (!std::memchr(t->name, '\0', sizeof t->name) ||
        !std::memchr(t->format, '\0', sizeof t->format))
        return false;
    return hvn_format_find(t->format) && t->src_codec.name && t->dst_codec.name &&
           hvn_format_find(t->src_codec.name) && hvn_format_find(t->dst_codec.name);
}

void free_instance(hvn_trans_pvt* pvt) {
    std::free(pvt->outbuf.c);
    std::free(pvt->pvt);
    std::free(pvt);
}

hvn_frame* default_frameout(hvn_trans_pvt* pvt) { return hvn_trans_frameout(pvt, 0, 0); }

}  // namespace

namespace hvn {

int drop_module_translators(hvn_module* mod) {
    std::lock_guard<std::recursive_mutex> guard(registry_lock());
    return erase_picked(registry(), [mod](hvn_translator* t) {
        if (t->module != mod) return false;
        warn_left_registered(mod, "translator", t->name);
        t->active = 0;
        return true;
    });
}

}  // namespace hvn

extern "C" {

int __hvn_register_translator(hvn_translator* t, hvn_module* module) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    ++g_registration_calls;
    if (g_scripted_next < g_scripted_count) {
        const int scripted = g_scripted[g_scripted_next++];
        if (scripted != 0) return scripted;
    }
    if (!valid_descriptor(t)) return -1;
    for (const hvn_translator* other : registry())
        if (other == t || std::strcmp(other->name, t->name) == 0) return -1;
    try {
        registry().push_back(t);
    } catch (...) {
        return -1;
    }
    t->module = module;
    t->active = 1;
    return 0;
}

int hvn_unregister_translator(hvn_translator* t) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    hvn::note_unregistration("translator", t ? t->name : nullptr);
    auto& list = registry();
    auto it = std::find(list.begin(), list.end(), t);
    if (it == list.end()) return -1;
    list.erase(it);
    t->active = 0;
    return 0;
}

hvn_frame* hvn_trans_frameout(hvn_trans_pvt* pvt, int datalen, int samples) {
    if (!pvt || !pvt->t) return nullptr;
    hvn_frame* f = &pvt->f;
    if (samples) {
        f->samples = samples;
    } else {
        if (pvt->samples == 0) return nullptr;
        f->samples = pvt->samples;
        pvt->samples = 0;
    }
    if (datalen) {
        f->datalen = datalen;
    } else {
        f->datalen = pvt->datalen;
        pvt->datalen = 0;
    }
    f->frametype = HVN_FRAME_VOICE;
    f->format = hvn_format_find(pvt->t->format);
    f->src = pvt->t->name;
    f->data = pvt->outbuf.c;
    return f;
}

void hvn_test_translator_registration_results(const int* results, int count) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    g_scripted_count = results && count > 0 ? std::min(count, kMaxScriptedResults) : 0;
    g_scripted_next = 0;
    for (int i = 0; i < g_scripted_count; ++i) g_scripted[i] = results[i];
}

int hvn_test_translator_registration_calls(void) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    return g_registration_calls;
}

size_t hvn_translator_list(hvn_translator** out, size_t max) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    const auto& list = registry();
    for (size_t i = 0; out && i < max && i < list.size(); ++i) out[i] = list[i];
    return list.size();
}

hvn_translator* hvn_translator_find(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    for (hvn_translator* t : registry())
        if (std::strcmp(t->name, name) == 0) return t;
    return nullptr;
}

hvn_trans_pvt* hvn_trans_instance_new(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    hvn_translator* t = hvn_translator_find(name);
    if (!t) return nullptr;
    auto* pvt = static_cast<hvn_trans_pvt*>(std::calloc(1, sizeof(hvn_trans_pvt)));
    if (!pvt) return nullptr;
    pvt->t = t;
    if (t->desc_size > 0) pvt->pvt = std::calloc(1, static_cast<size_t>(t->desc_size));
    if (t->buf_size > 0)
        pvt->outbuf.c = static_cast<char*>(std::calloc(1, static_cast<size_t>(t->buf_size)));
    if ((t->desc_size > 0 && !pvt->pvt) || (t->buf_size > 0 && !pvt->outbuf.c)) {
        free_instance(pvt);
        return nullptr;
    }
    if (t->newpvt && t->newpvt(pvt) != 0) {
        free_instance(pvt);
        return nullptr;
    }
    if (t->module) ++t->module->instances;
    return pvt;
}

int hvn_trans_instance_feed(hvn_trans_pvt* pvt, hvn_frame* in) {
    if (!pvt || !in) return -1;
    return pvt->t->framein(pvt, in);
}

hvn_frame* hvn_trans_instance_read(hvn_trans_pvt* pvt) {
    if (!pvt) return nullptr;
    return pvt->t->frameout ? pvt->t->frameout(pvt) : default_frameout(pvt);
}

void hvn_trans_instance_destroy(hvn_trans_pvt* pvt) {
    if (!pvt) return;
    std::lock_guard<std::recursive_mutex> guard(hvn::registry_lock());
    if (pvt->t->destroy) pvt->t->destroy(pvt);
    if (pvt->t->module) --pvt->t->module->instances;
    free_instance(pvt);
}

}  // extern "C"
