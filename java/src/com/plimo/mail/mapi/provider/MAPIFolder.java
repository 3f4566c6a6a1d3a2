package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import com.plimo.mail.mapi.MAPINativeAttached;
import com.plimo.mail.mapi.NativeLifetime;
import java.lang.ref.PhantomReference;
import java.lang.ref.Reference;
import java.lang.ref.ReferenceQueue;
import java.lang.ref.WeakReference;
import java.util.HashMap;
import java.util.Map;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import javax.mail.FetchProfile;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.FolderNotFoundException;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.MethodNotSupportedException;
import javax.mail.event.ConnectionEvent;

/**
 * A folder of a {@link MAPIStore}: the Inbox as "INBOX", under the store's default
 * folder (the top, which holds folders only). The natives reach no other folder, so any
 * other name gives a folder that does not exist.
 *
 * <p>Opening takes a snapshot of the Inbox; messages are numbered 1 to
 * {@link #getMessageCount()} within it and fetched in chunks, as {@link StoredMessage}s
 * whose {@link Flags.Flag#SEEN} is the stored read state. {@link #getMessageCount()} adds
 * the mail that arrived since (at most once a second), at the end, and tells the
 * {@link javax.mail.event.MessageCountListener}s. Messages are held weakly, so a walk over
 * a large folder keeps only what its caller keeps. Closing deletes the native folder and
 * every message fetched through it: their reads then throw a {@link MessagingException}.
 * {@link Flags.Flag#DELETED} is the store's delete flag; {@link #expunge()} deletes the
 * flagged messages (they become expunged, the others move up and stay usable), and so does
 * {@code close(true)}. A folder dropped while open (never closed) is closed without expunge
 * once it and its messages are unreachable, by a {@link java.lang.ref.Cleaner}.
 *
 * <p>An attached message ({@code message/rfc822} part) reads as a message
 * ({@link com.plimo.mail.mapi.MAPIAttachedMessage}); it is closed with the content of the
 * message that holds it, so with the folder too.
 */
public class MAPIFolder extends Folder implements NativeLifetime.Owner {

    /** Number of messages fetched per native call. */
    static final int CHUNK = 256;

    private final MAPIStore mapiStore;
    private final String name;
    private final boolean inbox;
    private final boolean root;

    private long handle;
    /** The native folder while open: closed by close(), or by a cleaner if this folder is dropped open. */
    private NativeHandle nativeFolder;
    /** Under which the messages of the native folder live; ended as it closes. */
    private NativeLifetime lifetime;
    private boolean open;
    private WeakReference<StoredMessage>[] cache;
    /**
     * Per number, whether the native message handed out for it still exists: an expunged
     * one's releaser must not touch a handle whose address a new message may have taken.
     */
    private AtomicBoolean[] usable;
    /** Messages handed out, each with what lets go of its native content once it is unreachable. */
    private final ReferenceQueue<StoredMessage> unreachable = new ReferenceQueue<>();
    private final Map<Reference<? extends StoredMessage>, Runnable> releasers = new HashMap<>();
    /** The number of messages as last counted, and when mail that arrived was last looked for. */
    private int knownCount;
    private long lastRefresh;
    private boolean newMessages;
    /** How often {@link #getMessageCount()} looks for mail that arrived, in milliseconds. */
    static final long REFRESH_INTERVAL_MS = 1000;

    MAPIFolder(MAPIStore store, String name) {
        super(store);
        this.mapiStore = store;
        this.name = name == null ? "" : name;
        this.root = this.name.isEmpty();
        this.inbox = "INBOX".equalsIgnoreCase(this.name);
    }

    @Override
    public String getName() {
        return inbox ? "INBOX" : name;
    }

    @Override
    public String getFullName() {
        return getName();
    }

    @Override
    public Folder getParent() throws MessagingException {
        return root ? null : mapiStore.getDefaultFolder();
    }

    @Override
    public boolean exists() {
        return root || inbox;
    }

    @Override
    public Folder[] list(String pattern) throws MessagingException {
        if (!root) {
            return new Folder[0];
        }
        if (pattern.equals("*") || pattern.equals("%") || "INBOX".equalsIgnoreCase(pattern)) {
            return new Folder[] {new MAPIFolder(mapiStore, "INBOX")};
        }
        return new Folder[0];
    }

    @Override
    public char getSeparator() {
        return '/';
    }

    @Override
    public int getType() {
        return root ? HOLDS_FOLDERS : HOLDS_MESSAGES;
    }

    @Override
    public boolean create(int type) throws MessagingException {
        return false;
    }

    /** Whether mail arrived since the folder was opened or last asked (looked for now). */
    @Override
    public boolean hasNewMessages() throws MessagingException {
        if (!isOpen()) {
            return false;
        }
        getMessageCount();
        synchronized (this) {
            boolean result = newMessages;
            newMessages = false;
            return result;
        }
    }

    @Override
    public Folder getFolder(String child) throws MessagingException {
        if (root) {
            return new MAPIFolder(mapiStore, child);
        }
        return new MAPIFolder(mapiStore, getFullName() + getSeparator() + child);
    }

    @Override
    public boolean delete(boolean recurse) throws MessagingException {
        throw new MethodNotSupportedException("MAPI folders cannot be deleted through this store");
    }

    @Override
    public boolean renameTo(Folder f) throws MessagingException {
        throw new MethodNotSupportedException("MAPI folders cannot be renamed through this store");
    }

    @Override
    public Flags getPermanentFlags() {
        Flags permanent = new Flags(Flags.Flag.DELETED);
        permanent.add(Flags.Flag.SEEN);
        return permanent;
    }

    @Override
    public void appendMessages(Message[] msgs) throws MessagingException {
        throw new MethodNotSupportedException("Messages reach a MAPI store by delivery or sending");
    }

    // ---- Open and close ----------------------------------------------------------------

    @Override
    public void open(int requestedMode) throws MessagingException {
        if (!exists()) {
            throw new FolderNotFoundException(this, "No MAPI folder '" + name + "': only INBOX is reachable");
        }
        if (root) {
            throw new MessagingException("The top of the MAPI store holds no messages");
        }
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                if (open) {
                    throw new IllegalStateException("The folder is already open");
                }
                openNative(requestedMode);
                mode = requestedMode;
                open = true;
                mapiStore.opened(this);
            }
        }
        notifyConnectionListeners(ConnectionEvent.OPENED);
    }

    /**
     * Locates and opens the native Inbox; called with both locks held. A folder dropped
     * while open has its native folder closed (without expunge) once it is unreachable:
     * its messages, multiparts and parts hold it, so none of them is usable by then.
     */
    private void openNative(int requestedMode) throws MessagingException {
        long h = Core.call(() -> MAPINative.getInbox(mapiStore.handle()));
        if (h == 0) {
            throw new MessagingException("The MAPI store has no Inbox");
        }
        NativeHandle tracked = new NativeHandle(this, h, mapiStore.nativeLock(), f -> MAPINative.closeFolder(f, false));
        try {
            Core.run(() -> MAPINative.openFolder(h, requestedMode));
            Core.run(() -> MAPINativeAttached.keepReadState(h));
        } catch (MessagingException e) {
            tracked.close();
            throw e;
        }
        nativeFolder = tracked;
        lifetime = new NativeLifetime(mapiStore.lifetime(), "The folder of this message is closed");
        handle = h;
        cache = null;
        knownCount = Core.call(() -> MAPINative.getFolderMessageCount(h));
        lastRefresh = System.nanoTime();
    }

    /** Takes the native folder for an explicit close; 0 when there is none. */
    private long takeHandle() {
        NativeHandle tracked = nativeFolder;
        nativeFolder = null;
        handle = 0;
        if (lifetime != null) {
            lifetime.end();
            lifetime = null;
        }
        return tracked == null ? 0 : tracked.release();
    }

    @Override
    public void close(boolean expunge) throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                if (!open) {
                    throw new IllegalStateException("The folder is not open");
                }
                if (expunge && mode != READ_WRITE) {
                    expunge = false;
                }
                closeNative(expunge);
            }
        }
        notifyConnectionListeners(ConnectionEvent.CLOSED);
    }

    /** Closes without listeners or checks; used by the store as it closes. */
    void closeQuietly() {
        boolean wasOpen;
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                wasOpen = open;
                if (open) {
                    closeNative(false);
                }
            }
        }
        if (wasOpen) {
            notifyConnectionListeners(ConnectionEvent.CLOSED);
        }
    }

    private void closeNative(boolean expunge) {
        long h = takeHandle();
        open = false;
        cache = null;
        releasers.clear();
        mapiStore.closed(this);
        if (h != 0) {
            MAPINative.closeFolder(h, expunge);
        }
    }

    /** The lifetime of the messages this folder hands out now; null while closed. */
    @Override
    public synchronized NativeLifetime nativeLifetime() {
        return lifetime;
    }

    @Override
    public synchronized boolean isOpen() {
        return open;
    }

    // ---- Messages ----------------------------------------------------------------------

    /**
     * The number of messages: those of the snapshot taken at open, and the mail that arrived
     * since (looked for at most once a second), which the message count listeners hear of;
     * -1 while closed.
     */
    @Override
    public int getMessageCount() throws MessagingException {
        Message[] added = null;
        int count;
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                if (!open) {
                    return -1;
                }
                long now = System.nanoTime();
                if (now - lastRefresh >= REFRESH_INTERVAL_MS * 1_000_000L) {
                    lastRefresh = now;
                    if (Core.call(() -> MAPINativeAttached.refreshFolder(handle)) > 0) {
                        int before = knownCount;
                        count = Core.call(() -> MAPINative.getFolderMessageCount(handle));
                        knownCount = count;
                        newMessages = true;
                        added = getMessages(before + 1, count);
                    }
                }
                count = Core.call(() -> MAPINative.getFolderMessageCount(handle));
            }
        }
        if (added != null && added.length > 0) {
            notifyMessageAddedListeners(added);
        }
        return count;
    }

    @Override
    public Message getMessage(int msgnum) throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                int count = Core.call(() -> MAPINative.getFolderMessageCount(handle));
                if (msgnum < 1 || msgnum > count) {
                    throw new IndexOutOfBoundsException("No message " + msgnum + " in " + count);
                }
                releaseUnreachable();
                StoredMessage cached = cached(msgnum, count);
                if (cached != null) {
                    return cached;
                }
                return fetchChunk(msgnum, Math.min(count, msgnum + CHUNK - 1), count)[0];
            }
        }
    }

    @Override
    public Message[] getMessages(int start, int end) throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                int count = Core.call(() -> MAPINative.getFolderMessageCount(handle));
                if (start < 1 || end > count || start > end + 1) {
                    throw new IndexOutOfBoundsException("No messages " + start + " to " + end + " in " + count);
                }
                releaseUnreachable();
                Message[] result = new Message[end - start + 1];
                // The chunk fetched last is held here: the cache holds its messages weakly.
                StoredMessage[] chunk = new StoredMessage[0];
                int chunkFirst = start;
                for (int n = start; n <= end; n++) {
                    StoredMessage m = n - chunkFirst < chunk.length ? chunk[n - chunkFirst] : cached(n, count);
                    if (m == null) {
                        chunk = fetchChunk(n, Math.min(end, n + CHUNK - 1), count);
                        chunkFirst = n;
                        m = chunk[0];
                    }
                    result[n - start] = m;
                }
                return result;
            }
        }
    }

    @Override
    public Message[] getMessages() throws MessagingException {
        int count = getMessageCount();
        if (count < 0) {
            throw new IllegalStateException("The folder is not open");
        }
        return count == 0 ? new Message[0] : getMessages(1, count);
    }

    /** Reads are made when asked for; fetching only makes sure the messages are fetched. */
    @Override
    public void fetch(Message[] msgs, FetchProfile fp) throws MessagingException {
        synchronized (this) {
            checkOpen();
        }
        for (Message m : msgs) {
            if (m.getFolder() != this) {
                throw new MessagingException("Message " + m.getMessageNumber() + " is not of this folder");
            }
        }
    }

    /**
     * Deletes the messages whose {@link Flags.Flag#DELETED} is set and returns them, expunged
     * (their reads throw {@link javax.mail.MessageRemovedException}); the messages after them
     * move up and stay usable. A message the store would not delete stays, flagged, and the
     * call then throws once the others are gone.
     */
    @Override
    public Message[] expunge() throws MessagingException {
        List<Message> deleted = new ArrayList<>();
        int kept;
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                if (mode != READ_WRITE) {
                    throw new IllegalStateException("The folder is open read-only");
                }
                int count = Core.call(() -> MAPINative.getFolderMessageCount(handle));
                cached(0, count);
                int[] removed = Core.call(() -> MAPINativeAttached.expungeFolder(handle));
                List<WeakReference<StoredMessage>> survivors = new ArrayList<>();
                List<AtomicBoolean> survivorsUsable = new ArrayList<>();
                int next = 0;
                for (int n = 1; n <= cache.length; n++) {
                    WeakReference<StoredMessage> ref = cache[n - 1];
                    StoredMessage m = ref == null ? null : ref.get();
                    if (next < removed.length && removed[next] == n) {
                        next++;
                        if (usable[n - 1] != null) {
                            usable[n - 1].set(false);
                        }
                        if (m != null) {
                            m.setExpunged(true);
                            deleted.add(m);
                        }
                        continue;
                    }
                    if (m != null) {
                        m.setMessageNumber(survivors.size() + 1);
                    }
                    survivors.add(ref);
                    survivorsUsable.add(usable[n - 1]);
                }
                @SuppressWarnings({"unchecked", "rawtypes"})
                WeakReference<StoredMessage>[] renumbered = survivors.toArray(new WeakReference[0]);
                cache = renumbered;
                usable = survivorsUsable.toArray(new AtomicBoolean[0]);
                knownCount = Core.call(() -> MAPINative.getFolderMessageCount(handle));
                kept = 0;
                for (WeakReference<StoredMessage> ref : cache) {
                    StoredMessage m = ref == null ? null : ref.get();
                    if (m != null && Core.isDeleted(m.getMAPIMessage())) {
                        kept++;
                    }
                }
            }
        }
        Message[] result = deleted.toArray(new Message[0]);
        if (result.length > 0) {
            notifyMessageRemovedListeners(true, result);
        }
        if (kept > 0) {
            throw new MessagingException(kept + " of the messages marked deleted could not be deleted");
        }
        return result;
    }

    @SuppressWarnings("unchecked")
    private StoredMessage cached(int msgnum, int count) {
        if (cache == null) {
            cache = (WeakReference<StoredMessage>[]) new WeakReference<?>[count];
            usable = new AtomicBoolean[count];
        } else if (cache.length != count) {
            // Mail that arrived joins at the end; the messages handed out keep their numbers.
            cache = java.util.Arrays.copyOf(cache, count);
            usable = java.util.Arrays.copyOf(usable, count);
        }
        if (msgnum < 1) {
            return null;
        }
        WeakReference<StoredMessage> ref = cache[msgnum - 1];
        return ref == null ? null : ref.get();
    }

    /** Fetches the messages first..last and gives them (the cache holds them weakly only). */
    private StoredMessage[] fetchChunk(int first, int last, int count) throws MessagingException {
        MAPIMessage[] got = Core.call(() -> MAPINative.getFolderMessageChunk(handle, Core.coreFolder(this), first, last));
        boolean[] read = Core.call(() -> MAPINativeAttached.getReadStates(handle, first, last));
        StoredMessage[] fetched = new StoredMessage[last - first + 1];
        for (int n = first; n <= last; n++) {
            MAPIMessage m = got == null || got.length < n ? null : got[n - 1];
            if (m == null) {
                throw new MessagingException("The MAPI folder gave no message " + n + " of " + count);
            }
            StoredMessage stored = new StoredMessage(this, n, m, read == null || read[n - first]);
            fetched[n - first] = stored;
            cache[n - 1] = new WeakReference<>(stored);
            AtomicBoolean exists = new AtomicBoolean(true);
            usable[n - 1] = exists;
            Runnable release = m.contentReleaser();
            releasers.put(new PhantomReference<>(stored, unreachable), () -> {
                if (exists.get()) {
                    release.run();
                }
            });
        }
        return fetched;
    }

    /**
     * Lets go of the native content of messages nobody holds any more, so that a walk over
     * a large folder keeps only the bodies its caller keeps. Called with both locks held.
     */
    private void releaseUnreachable() {
        Reference<? extends StoredMessage> ref;
        while ((ref = unreachable.poll()) != null) {
            Runnable release = releasers.remove(ref);
            if (release != null && open) {
                release.run();
            }
        }
    }

    /** Messages handed out whose content is not yet let go of (for tests of this class). */
    synchronized int heldMessages() {
        return releasers.size();
    }

    private void checkOpen() {
        if (!open) {
            throw new IllegalStateException("The folder is not open");
        }
    }

    MAPIStore mapiStore() {
        return mapiStore;
    }
}
