/* SPDX-License-Identifier: MIT */
/*
 * The JNI shim between org.orvel.SyncNative and liborvel-sync: a library of
 * its own, so that a program that never uses the journal needs neither it
 * nor liborvel-sync.so.1. Texts cross as in orvel_jni.c (see jni_text.h);
 * every text the journal returns is freed with orvel_sync_free exactly once.
 * The store handle comes from org.orvel.Native: both shims use the one
 * liborvel.so.1 of the process.
 */
#include <jni.h>
#include <stdint.h>
#include <stdlib.h>

#include "jni_text.h"
#include "orvel_sync.h"

static orvel_journal *journal_of(jlong handle) { return (orvel_journal *)(intptr_t)handle; }

/* A new byte[] of a text the journal returned (NULL stays null); the text is
 * freed in every case. */
static jbyteArray taken(JNIEnv *env, char *text) {
  jbyteArray bytes = jni_bytes(env, text);
  orvel_sync_free(text);
  return bytes;
}

JNIEXPORT jstring JNICALL Java_org_orvel_SyncNative_version(JNIEnv *env, jclass cls) {
  (void)cls;
  return (*env)->NewStringUTF(env, orvel_sync_version()); /* ASCII */
}

JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_abiVersion(JNIEnv *env, jclass cls) {
  (void)env, (void)cls;
  return orvel_sync_abi_version();
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_SyncNative_lastError(JNIEnv *env, jclass cls) {
  (void)cls;
  return jni_bytes(env, orvel_sync_last_error());
}

JNIEXPORT jlong JNICALL Java_org_orvel_SyncNative_create(JNIEnv *env, jclass cls, jlong store) {
  (void)env, (void)cls;
  return (jlong)(intptr_t)orvel_sync_create((orvel_store *)(intptr_t)store);
}

JNIEXPORT void JNICALL Java_org_orvel_SyncNative_destroy(JNIEnv *env, jclass cls, jlong journal) {
  (void)env, (void)cls;
  orvel_sync_destroy(journal_of(journal));
}

JNIEXPORT jlong JNICALL Java_org_orvel_SyncNative_set(JNIEnv *env, jclass cls, jlong journal,
                                                      jboolean wished, jbyteArray kind,
                                                      jbyteArray item_id, jbyteArray title,
                                                      jbyteArray artist) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  t.text[1] = jni_c_text(env, item_id, NULL, &t.failed);
  t.text[2] = jni_c_text(env, title, NULL, &t.failed);
  t.text[3] = jni_c_text(env, artist, NULL, &t.failed);
  jlong result = t.failed ? -1
                          : orvel_sync_set(journal_of(journal), wished ? 1 : 0, t.text[0],
                                           t.text[1], t.text[2], t.text[3]);
  jni_release(&t);
  return result;
}

/* The envelope, or null; the operation's id (0 when there is none) goes to op_id[0]. */
JNIEXPORT jbyteArray JNICALL Java_org_orvel_SyncNative_nextRequest(JNIEnv *env, jclass cls,
                                                                   jlong journal,
                                                                   jbyteArray base_url,
                                                                   jlongArray op_id) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, base_url, NULL, &t.failed);
  jbyteArray result = NULL;
  if (!t.failed) {
    int64_t op = 0;
    char *request = orvel_sync_next_request(journal_of(journal), t.text[0], &op);
    jlong id = (jlong)op;
    (*env)->SetLongArrayRegion(env, op_id, 0, 1, &id);
    result = taken(env, request);
    /* No array for it (OutOfMemoryError pending): the request was never sent,
     * so it goes back to unsent rather than stay in flight unknown to the app. */
    if (result == NULL && request != NULL) (void)orvel_sync_report(journal_of(journal), op, ORVEL_SYNC_FAILED);
  }
  jni_release(&t);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_report(JNIEnv *env, jclass cls, jlong journal,
                                                        jlong op_id, jint outcome) {
  (void)env, (void)cls;
  return orvel_sync_report(journal_of(journal), (int64_t)op_id, (int32_t)outcome);
}

JNIEXPORT jlong JNICALL Java_org_orvel_SyncNative_beginRefresh(JNIEnv *env, jclass cls,
                                                               jlong journal) {
  (void)env, (void)cls;
  return (jlong)orvel_sync_begin_refresh(journal_of(journal));
}

/* Copied, as Native.load's response is (see orvel_jni.c). */
JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_load(JNIEnv *env, jclass cls, jlong journal,
                                                      jlong token, jbyteArray json) {
  (void)cls;
  int failed = 0;
  size_t len = 0;
  char *text = jni_c_text(env, json, &len, &failed);
  if (failed) return JNI_EXCEPTION_PENDING;
  jint result = orvel_sync_load(journal_of(journal), (int64_t)token, text, len);
  free(text);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_SyncNative_export(JNIEnv *env, jclass cls,
                                                              jlong journal) {
  (void)cls;
  return taken(env, orvel_sync_export(journal_of(journal)));
}

JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_restore(JNIEnv *env, jclass cls, jlong journal,
                                                         jbyteArray json) {
  (void)cls;
  int failed = 0;
  size_t len = 0;
  char *text = jni_c_text(env, json, &len, &failed);
  if (failed) return JNI_EXCEPTION_PENDING;
  jint result = orvel_sync_restore(journal_of(journal), text, len);
  free(text);
  return result;
}

JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_count(JNIEnv *env, jclass cls, jlong journal,
                                                       jint which) {
  (void)env, (void)cls;
  return orvel_sync_count(journal_of(journal), (int32_t)which);
}

/* orvel_sync_report_outcome; what it did to the store goes to store_change[0]. */
JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_reportOutcome(JNIEnv *env, jclass cls,
                                                               jlong journal, jlong op_id,
                                                               jint outcome,
                                                               jintArray store_change) {
  (void)cls;
  int32_t change = ORVEL_SYNC_STORE_UNCHANGED;
  jint result = orvel_sync_report_outcome(journal_of(journal), (int64_t)op_id, (int32_t)outcome, &change);
  jint value = change;
  (*env)->SetIntArrayRegion(env, store_change, 0, 1, &value);
  return result;
}

/* orvel_sync_entry_status; the entry's members go to entry[0..4] in the struct's order. */
JNIEXPORT jint JNICALL Java_org_orvel_SyncNative_entryStatus(JNIEnv *env, jclass cls,
                                                             jlong journal, jbyteArray kind,
                                                             jbyteArray item_id,
                                                             jlongArray entry) {
  (void)cls;
  JniTexts t = {{NULL}, 0};
  t.text[0] = jni_c_text(env, kind, NULL, &t.failed);
  t.text[1] = jni_c_text(env, item_id, NULL, &t.failed);
  jint result = JNI_EXCEPTION_PENDING;
  if (!t.failed) {
    orvel_sync_entry status;
    result = orvel_sync_entry_status(journal_of(journal), t.text[0], t.text[1], &status);
    if (result >= 0) {
      const jlong members[5] = {status.state, status.wished, (jlong)status.op_id, (jlong)status.attempts,
                                (jlong)status.uncertain};
      (*env)->SetLongArrayRegion(env, entry, 0, 5, members);
    }
  }
  jni_release(&t);
  return result;
}

JNIEXPORT jbyteArray JNICALL Java_org_orvel_SyncNative_snapshot(JNIEnv *env, jclass cls,
                                                                jlong journal) {
  (void)cls;
  return taken(env, orvel_sync_snapshot(journal_of(journal)));
}

/* The journal orvel_sync_open_snapshot made (0 on failure), its store in store[0]. */
JNIEXPORT jlong JNICALL Java_org_orvel_SyncNative_openSnapshot(JNIEnv *env, jclass cls,
                                                               jbyteArray json, jlongArray store) {
  (void)cls;
  int failed = 0;
  size_t len = 0;
  char *text = jni_c_text(env, json, &len, &failed);
  if (failed) return 0;
  orvel_store *opened = NULL;
  /* An empty array is "" with length 0: read as empty JSON, as in Native.load. */
  orvel_journal *journal = orvel_sync_open_snapshot(text, len, &opened);
  free(text);
  jlong handle = (jlong)(intptr_t)opened;
  (*env)->SetLongArrayRegion(env, store, 0, 1, &handle);
  return (jlong)(intptr_t)journal;
}
