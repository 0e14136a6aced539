/* SPDX-License-Identifier: MIT */
/* Text passing shared by the two JNI shims (see jni_text.h). */
#include "jni_text.h"

#include <stdlib.h>
#include <string.h>

void jni_throw_out_of_memory(JNIEnv *env) {
  jclass error = (*env)->FindClass(env, "java/lang/OutOfMemoryError");
  if (error != NULL) (*env)->ThrowNew(env, error, "liborvel: no memory for a text");
}

char *jni_c_text(JNIEnv *env, jbyteArray bytes, size_t *len, int *failed) {
  if (bytes == NULL || *failed) return NULL;
  jsize n = (*env)->GetArrayLength(env, bytes);
  char *text = malloc((size_t)n + 1);
  if (text == NULL) {
    *failed = 1;
    jni_throw_out_of_memory(env);
    return NULL;
  }
  (*env)->GetByteArrayRegion(env, bytes, 0, n, (jbyte *)text);
  text[n] = '\0';
  if (len != NULL) *len = (size_t)n;
  return text;
}

jbyteArray jni_bytes(JNIEnv *env, const char *text) {
  if (text == NULL) return NULL;
  size_t len = strlen(text);
  if (len > 0x7fffffff) { /* more than a Java array holds */
    jni_throw_out_of_memory(env);
    return NULL;
  }
  jbyteArray bytes = (*env)->NewByteArray(env, (jsize)len);
  if (bytes != NULL) (*env)->SetByteArrayRegion(env, bytes, 0, (jsize)len, (const jbyte *)text);
  return bytes;
}

void jni_release(JniTexts *texts) {
  for (int i = 0; i < 4; ++i) free(texts->text[i]);
}
