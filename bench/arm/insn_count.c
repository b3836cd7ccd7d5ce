/*
 * Guest instruction counter for qemu user-mode emulation (plugin API 1, as in
 * Debian 12's qemu 7.2), used by bench/bench_arm.py.
 *
 *   qemu-arm -plugin ./insn_count.so,out=FILE[,profile=on] PROGRAM ...
 *
 * Every translated block adds its instruction count to one counter when it
 * runs (an inline add, no call into the plugin).  The guest marks points of
 * interest by calling umask() with 0x7e000000 | tag << 9 | mask (tag < 0x10000,
 * mask the process's umask, which the kernel keeps: it ignores the high
 * bits); at each mark the plugin writes "mark TAG COUNT" to FILE, COUNT being
 * the guest instructions executed so far.  A call that succeeds costs the
 * guest far fewer instructions than one raising an exception would.  The difference between two marks
 * is the work in between, the marking itself included (the bench subtracts
 * an empty run of the same harness).
 *
 * With profile=on every translated block also counts its executions, and the
 * marks PROFILE_START and PROFILE_STOP bracket a profile: at the start the
 * block counters are cleared, at the stop every block that ran is written as
 * "tb START END INSNS EXECS" (guest addresses of its first byte and one past
 * its last instruction, hexadecimal).  A block translated twice (after a
 * flush) appears twice; the reader adds them up.
 *
 * Debian ships no plugin header, so the few declarations used are below.
 * The counters are plain (not atomic) adds: exact for a single-threaded
 * guest, which the bench makes sure of.
 */
#define _GNU_SOURCE
#include <inttypes.h>
#include <pthread.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- the part of qemu's plugin API this file uses (API version 1) ---- */
#define EXPORT __attribute__((visibility("default")))
typedef uint64_t qemu_plugin_id_t;
typedef struct {
    const char* target_name;
    struct {
        int min;
        int cur;
    } version;
    bool system_emulation;
    union {
        struct {
            int smp_vcpus;
            int max_vcpus;
        } system;
    };
} qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*qemu_plugin_vcpu_syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu_index, int64_t num,
                                              uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4,
                                              uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8);
void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op,
                                              void* ptr, uint64_t imm);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_syscall_cb_t cb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb* tb);
struct qemu_plugin_insn* qemu_plugin_tb_get_insn(const struct qemu_plugin_tb* tb, size_t idx);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn* insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn* insn);
void qemu_plugin_outs(const char* string);

EXPORT int qemu_plugin_version = 1;
EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc, char** argv);

/* ---- marks ---- */
#define MARK_BITS 0xfe000000u
#define MARK_BASE 0x7e000000u
#define PROFILE_START 0xfff0u
#define PROFILE_STOP 0xfff1u

static uint64_t insns;   /* guest instructions executed */
static int64_t umask_nr; /* the guest's umask() system call number */
static FILE* out;
static bool profiling;

/* one record per translation, kept for the whole run (the inline adds point
 * into it); allocated in slabs so that records never move */
struct block {
    uint64_t start, end, n, execs;
};
#define SLAB 4096
struct slab {
    struct slab* next;
    size_t used;
    struct block blocks[SLAB];
};
static struct slab* slabs;
static pthread_mutex_t slab_lock = PTHREAD_MUTEX_INITIALIZER;

static struct block* new_block(void)
{
    if (!slabs || slabs->used == SLAB) {
        struct slab* s = calloc(1, sizeof *s);
        if (!s) {
            qemu_plugin_outs("insn_count: out of memory\n");
            abort();
        }
        s->next = slabs;
        slabs = s;
    }
    return &slabs->blocks[slabs->used++];
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb* tb)
{
    (void)id;
    size_t n = qemu_plugin_tb_n_insns(tb);
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &insns, n);
    if (!profiling || n == 0)
        return;
    struct qemu_plugin_insn* last = qemu_plugin_tb_get_insn(tb, n - 1);
    pthread_mutex_lock(&slab_lock);
    struct block* b = new_block();
    b->start = qemu_plugin_tb_vaddr(tb);
    b->end = qemu_plugin_insn_vaddr(last) + qemu_plugin_insn_size(last);
    b->n = n;
    pthread_mutex_unlock(&slab_lock);
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->execs, 1);
}

static void dump_profile(void)
{
    pthread_mutex_lock(&slab_lock);
    for (struct slab* s = slabs; s; s = s->next)
        for (size_t i = 0; i < s->used; i++) {
            const struct block* b = &s->blocks[i];
            if (b->execs)
                fprintf(out, "tb %" PRIx64 " %" PRIx64 " %" PRIu64 " %" PRIu64 "\n", b->start, b->end, b->n,
                        b->execs);
        }
    pthread_mutex_unlock(&slab_lock);
}

static void clear_profile(void)
{
    pthread_mutex_lock(&slab_lock);
    for (struct slab* s = slabs; s; s = s->next)
        for (size_t i = 0; i < s->used; i++)
            s->blocks[i].execs = 0;
    pthread_mutex_unlock(&slab_lock);
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1, uint64_t a2,
                       uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8)
{
    (void)id, (void)vcpu, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6, (void)a7, (void)a8;
    uint32_t arg = (uint32_t)a1;
    if (num != umask_nr || (arg & MARK_BITS) != MARK_BASE)
        return;
    uint32_t tag = (arg >> 9) & 0xffffu;
    fprintf(out, "mark %" PRIu32 " %" PRIu64 "\n", tag, insns);
    if (profiling && tag == PROFILE_START)
        clear_profile();
    else if (profiling && tag == PROFILE_STOP)
        dump_profile();
    fflush(out);
}

static void on_exit_(qemu_plugin_id_t id, void* userdata)
{
    (void)id, (void)userdata;
    fprintf(out, "exit %" PRIu64 "\n", insns);
    fclose(out);
}

static const struct {
    const char* target;
    int64_t umask_nr;
} kUmaskNr[] = {{"arm", 60}, {"aarch64", 166}, {"x86_64", 95}, {"i386", 60}};

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t* info, int argc, char** argv)
{
    const char* path = NULL;
    for (int i = 0; i < argc; i++) {
        if (strncmp(argv[i], "out=", 4) == 0)
            path = argv[i] + 4;
        else if (strcmp(argv[i], "profile=on") == 0 || strcmp(argv[i], "profile=true") == 0)
            profiling = true;
        else if (strcmp(argv[i], "profile=off") != 0 && strcmp(argv[i], "profile=false") != 0) {
            fprintf(stderr, "insn_count: unknown argument %s (out=FILE, profile=on|off)\n", argv[i]);
            return 1;
        }
    }
    umask_nr = -1;
    for (size_t i = 0; i < sizeof kUmaskNr / sizeof kUmaskNr[0]; i++)
        if (strcmp(info->target_name, kUmaskNr[i].target) == 0)
            umask_nr = kUmaskNr[i].umask_nr;
    if (umask_nr < 0) {
        fprintf(stderr, "insn_count: no umask() number known for target %s\n", info->target_name);
        return 1;
    }
    if (info->system_emulation) {
        fprintf(stderr, "insn_count: user-mode emulation only\n");
        return 1;
    }
    if (!path) {
        fprintf(stderr, "insn_count: needs out=FILE\n");
        return 1;
    }
    out = fopen(path, "w");
    if (!out) {
        perror(path);
        return 1;
    }
    fprintf(out, "target %s\n", info->target_name);
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
    qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
    qemu_plugin_register_atexit_cb(id, on_exit_, NULL);
    return 0;
}
