package com.plimo.mail.mapi.provider.test;

import java.lang.reflect.Method;

/**
 * Counts of native objects held open, read by reflection (the tests know only javax.mail):
 * the handles the provider opened and has not closed (its stores' and transports' logons,
 * folders, composed messages), and the attached messages the native library holds open.
 */
final class HandleCounts {

    private HandleCounts() {
    }

    /** com.plimo.mail.mapi.provider.NativeHandle.live(). */
    static int providerHandles() throws Exception {
        Method live = Class.forName("com.plimo.mail.mapi.provider.NativeHandle").getDeclaredMethod("live");
        live.setAccessible(true);
        return (Integer) live.invoke(null);
    }

    /** com.plimo.mail.mapi.MAPINativeAttached.liveAttachedMessages(), from the native library. */
    static int attachedMessages() throws Exception {
        return (Integer) Class.forName("com.plimo.mail.mapi.MAPINativeAttached")
                .getMethod("liveAttachedMessages").invoke(null);
    }

    /**
     * Collects garbage until {@code providerHandles()} is at most {@code target}, for up to
     * {@code seconds}; gives the last count. javax.mail's Folder and Service have
     * finalizers, so an object of theirs takes a collection or two more to be cleaned.
     */
    static int collectUntil(int target, int seconds) throws Exception {
        long deadline = System.nanoTime() + seconds * 1_000_000_000L;
        int live;
        while ((live = providerHandles()) > target && System.nanoTime() < deadline) {
            System.gc();
            System.runFinalization();
            Thread.sleep(20);
        }
        return live;
    }
}
