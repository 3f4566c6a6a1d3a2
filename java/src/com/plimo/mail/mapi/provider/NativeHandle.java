package com.plimo.mail.mapi.provider;

import java.lang.ref.PhantomReference;
import java.lang.ref.ReferenceQueue;
import java.lang.reflect.Method;
import java.util.Collections;
import java.util.IdentityHashMap;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * One native handle that the provider opened (a logon of a store or transport, a folder, a
 * composed message), closed exactly once: by its owner's own close, or by a
 * {@code java.lang.ref.Cleaner} once the owner became unreachable without being closed (no
 * finalizer). The cleaning action holds the handle, the native close and the lock it runs
 * under, never the owner.
 *
 * <p>The classes are compiled for Java 8, which has no {@code Cleaner}: the one of the
 * running VM is reached by reflection (Java 9 and later), and on Java 8 a daemon thread
 * does the same with phantom references.
 *
 * <p>{@link #live()} counts the handles opened and not yet closed in the process, for
 * tests of leaks.
 */
final class NativeHandle implements Runnable {

    /** Closes one native handle; an exception is swallowed on the cleaner's thread. */
    interface Closer {
        void close(long handle) throws Exception;
    }

    private static final Cleaners CLEANER = Cleaners.make();
    private static final AtomicInteger LIVE = new AtomicInteger();

    private final Object lock;
    private final Closer closer;
    private long handle;
    private final Cleanable cleanable;

    /**
     * Tracks {@code handle}, which {@code closer} closes under {@code lock} when
     * {@code owner} becomes unreachable before {@link #release()} or {@link #close()}.
     * The lock must not be the owner (nor hold it): use what the owner's native calls
     * lock when that is another object, else a new one.
     */
    NativeHandle(Object owner, long handle, Object lock, Closer closer) {
        this.lock = lock == null ? new Object() : lock;
        this.closer = closer;
        this.handle = handle;
        LIVE.incrementAndGet();
        this.cleanable = CLEANER.register(owner, this);
    }

    /** The handle; 0 once released or closed. */
    synchronized long get() {
        return handle;
    }

    /**
     * Takes the handle for the owner to close itself, in its own way: the cleaner will not
     * close it. 0 when it was taken or closed already.
     */
    long release() {
        long h = take();
        cleanable.clean();
        return h;
    }

    /** Closes the handle now with the closer (once; later calls do nothing). */
    void close() {
        cleanable.clean();
    }

    private synchronized long take() {
        long h = handle;
        handle = 0;
        if (h != 0) {
            LIVE.decrementAndGet();
        }
        return h;
    }

    /** The cleaning action: run by {@link #close()} or by the cleaner, at most once. */
    @Override
    public void run() {
        synchronized (lock) {
            long h = take();
            if (h == 0) {
                return;
            }
            try {
                closer.close(h);
            } catch (Exception e) {
                // Nobody is left to tell: the owner is gone or closing anyway.
            }
        }
    }

    /** Native handles the provider opened and has not closed yet, in this process. */
    static int live() {
        return LIVE.get();
    }

    /** What {@code Cleaner.Cleanable} does: run the action once, unregistered. */
    interface Cleanable {
        void clean();
    }

    /** {@code java.lang.ref.Cleaner} of the running VM, or the same on phantom references. */
    abstract static class Cleaners {
        abstract Cleanable register(Object owner, Runnable action);

        static Cleaners make() {
            try {
                return new VmCleaner();
            } catch (ReflectiveOperationException | RuntimeException e) {
                return new PhantomCleaner();
            }
        }
    }

    /** The running VM's java.lang.ref.Cleaner (Java 9 and later). */
    private static final class VmCleaner extends Cleaners {
        private final Object cleaner;
        private final Method register;
        private final Method clean;

        VmCleaner() throws ReflectiveOperationException {
            Class<?> type = Class.forName("java.lang.ref.Cleaner");
            java.util.concurrent.ThreadFactory threads = task -> {
                Thread t = new Thread(task, "MAPI-handle-cleaner");
                t.setDaemon(true);
                return t;
            };
            cleaner = type.getMethod("create", java.util.concurrent.ThreadFactory.class).invoke(null, threads);
            register = type.getMethod("register", Object.class, Runnable.class);
            clean = Class.forName("java.lang.ref.Cleaner$Cleanable").getMethod("clean");
        }

        @Override
        Cleanable register(Object owner, Runnable action) {
            final Object registered;
            try {
                registered = register.invoke(cleaner, owner, action);
            } catch (ReflectiveOperationException e) {
                throw new IllegalStateException("java.lang.ref.Cleaner.register failed", e);
            }
            return () -> {
                try {
                    clean.invoke(registered);
                } catch (ReflectiveOperationException e) {
                    throw new IllegalStateException("java.lang.ref.Cleaner.Cleanable.clean failed", e);
                }
            };
        }
    }

    /** Java 8: phantom references of the owners and a daemon thread that runs their actions. */
    private static final class PhantomCleaner extends Cleaners {
        private final ReferenceQueue<Object> queue = new ReferenceQueue<>();
        private final Set<Entry> pending = Collections.synchronizedSet(
                Collections.newSetFromMap(new IdentityHashMap<Entry, Boolean>()));

        PhantomCleaner() {
            Thread t = new Thread(() -> {
                while (true) {
                    try {
                        ((Entry) queue.remove()).clean();
                    } catch (InterruptedException e) {
                        // A daemon: keeps serving until the VM ends.
                    } catch (RuntimeException e) {
                        // One failed action does not stop the others.
                    }
                }
            }, "MAPI-handle-cleaner");
            t.setDaemon(true);
            t.start();
        }

        @Override
        Cleanable register(Object owner, Runnable action) {
            Entry entry = new Entry(owner, queue, action);
            pending.add(entry);
            return entry;
        }

        private final class Entry extends PhantomReference<Object> implements Cleanable {
            private final Runnable action;

            Entry(Object owner, ReferenceQueue<Object> queue, Runnable action) {
                super(owner, queue);
                this.action = action;
            }

            @Override
            public void clean() {
                if (pending.remove(this)) {
                    clear();
                    action.run();
                }
            }
        }
    }
}
