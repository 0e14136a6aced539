// SPDX-License-Identifier: MIT
/*
 * What both JNI shims need to pass texts across: texts cross as byte[]
 * holding UTF-8 with their exact lengths, because JNI's own string functions
 * speak modified UTF-8 (NUL as two bytes, supplementary characters as
 * surrogate pairs), which is not what the libraries read or write. Hidden:
 * each shim exports only its Java_ functions.
 */
#ifndef ORVEL_JNI_TEXT_H
#define ORVEL_JNI_TEXT_H

#include <jni.h>
#include <stddef.h>

/* A shim's result when an exception is pending: Java never sees it. */
#define JNI_EXCEPTION_PENDING (-3)

/* Throws OutOfMemoryError, for a copy the shim could not make. */
void jni_throw_out_of_memory(JNIEnv *env);

/*
 * A malloc'd NUL-terminated copy of a whole Java byte[], its length in *len
 * when len is not NULL, or NULL for a null array. *failed is set, with
 * OutOfMemoryError pending, when the copy cannot be made; once it is set the
 * function does nothing, so that several arguments can be copied in a row.
 * Copying (instead of a critical region) lets the collector run on other
 * threads while a library call reads the text.
 */
char *jni_c_text(JNIEnv *env, jbyteArray bytes, size_t *len, int *failed);

/* A new byte[] holding text (NULL stays null): NULL with OutOfMemoryError
 * pending when the array could not be made. The text stays the caller's. */
jbyteArray jni_bytes(JNIEnv *env, const char *text);

/* Up to four text arguments of one call, released together. */
typedef struct {
  char *text[4];
  int failed;
} JniTexts;

void jni_release(JniTexts *texts);

#endif /* ORVEL_JNI_TEXT_H */
