package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import com.plimo.mail.mapi.NativeLifetime;
import java.lang.ref.PhantomReference;
import java.lang.ref.Reference;
import java.lang.ref.ReferenceQueue;
import java.lang.ref.WeakReference;
import java.util.HashMap;
import java.util.Map;
import java.util.ArrayList;
import java.util.List;
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
 * {@link #getMessageCount()} within it and fetched in chunks. Messages are held weakly,
 * so a walk over a large folder keeps only what its caller keeps. Closing deletes the
 * native folder and every message fetched through it: their reads then throw a
 * {@link MessagingException}. {@link Flags.Flag#DELETED} is the store's delete flag;
 * {@link #expunge()} and {@code close(true)} delete the flagged messages. A folder
 * dropped while open (never closed) is closed without expunge once it and its messages
 * are unreachable, by a {@link java.lang.ref.Cleaner}.
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
    private WeakReference<MAPIMessage>[] cache;
    /** Messages handed out, each with what lets go of its native content once it is unreachable. */
    private final ReferenceQueue<MAPIMessage> unreachable = new ReferenceQueue<>();
    private final Map<Reference<? extends MAPIMessage>, Runnable> releasers = new HashMap<>();

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

    @Override
    public boolean hasNewMessages() {
        return false;
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
        return new Flags(Flags.Flag.DELETED);
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
        long h = MAPINative.getInbox(mapiStore.handle());
        if (h == 0) {
            throw new MessagingException("The MAPI store has no Inbox");
        }
        NativeHandle tracked = new NativeHandle(this, h, mapiStore.nativeLock(), f -> MAPINative.closeFolder(f, false));
        try {
            MAPINative.openFolder(h, requestedMode);
        } catch (MessagingException e) {
            tracked.close();
            throw e;
        }
        nativeFolder = tracked;
        lifetime = new NativeLifetime(mapiStore.lifetime(), "The folder of this message is closed");
        handle = h;
        cache = null;
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

    /** The number of messages in the snapshot taken at open; -1 while closed. */
    @Override
    public int getMessageCount() throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                if (!open) {
                    return -1;
                }
                return MAPINative.getFolderMessageCount(handle);
            }
        }
    }

    @Override
    public Message getMessage(int msgnum) throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                int count = MAPINative.getFolderMessageCount(handle);
                if (msgnum < 1 || msgnum > count) {
                    throw new IndexOutOfBoundsException("No message " + msgnum + " in " + count);
                }
                releaseUnreachable();
                MAPIMessage cached = cached(msgnum, count);
                if (cached != null) {
                    return cached;
                }
                fetchChunk(msgnum, Math.min(count, msgnum + CHUNK - 1), count);
                return cache[msgnum - 1].get();
            }
        }
    }

    @Override
    public Message[] getMessages(int start, int end) throws MessagingException {
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                int count = MAPINative.getFolderMessageCount(handle);
                if (start < 1 || end > count || start > end + 1) {
                    throw new IndexOutOfBoundsException("No messages " + start + " to " + end + " in " + count);
                }
                releaseUnreachable();
                Message[] result = new Message[end - start + 1];
                for (int n = start; n <= end; n++) {
                    MAPIMessage m = cached(n, count);
                    if (m == null) {
                        fetchChunk(n, Math.min(end, n + CHUNK - 1), count);
                        m = cache[n - 1].get();
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
     * Deletes the messages whose {@link Flags.Flag#DELETED} is set: the native folder is
     * closed with expunge and opened again, so messages fetched before are no longer usable
     * and the rest are numbered afresh.
     */
    @Override
    public Message[] expunge() throws MessagingException {
        List<Message> deleted = new ArrayList<>();
        synchronized (mapiStore.nativeLock()) {
            synchronized (this) {
                checkOpen();
                if (mode != READ_WRITE) {
                    throw new IllegalStateException("The folder is open read-only");
                }
                if (cache != null) {
                    for (WeakReference<MAPIMessage> ref : cache) {
                        MAPIMessage m = ref == null ? null : ref.get();
                        if (m != null && m.isSet(Flags.Flag.DELETED)) {
                            deleted.add(m);
                        }
                    }
                }
                long h = takeHandle();
                cache = null;
                releasers.clear();
                if (h != 0) {
                    MAPINative.closeFolder(h, true);
                }
                try {
                    openNative(mode);
                } catch (MessagingException e) {
                    open = false;
                    mapiStore.closed(this);
                    throw e;
                }
            }
        }
        Message[] result = deleted.toArray(new Message[0]);
        if (result.length > 0) {
            notifyMessageRemovedListeners(true, result);
        }
        return result;
    }

    @SuppressWarnings("unchecked")
    private MAPIMessage cached(int msgnum, int count) {
        if (cache == null || cache.length != count) {
            cache = (WeakReference<MAPIMessage>[]) new WeakReference<?>[count];
        }
        WeakReference<MAPIMessage> ref = cache[msgnum - 1];
        return ref == null ? null : ref.get();
    }

    private void fetchChunk(int first, int last, int count) throws MessagingException {
        MAPIMessage[] got = MAPINative.getFolderMessageChunk(handle, this, first, last);
        for (int n = first; n <= last; n++) {
            MAPIMessage m = got == null || got.length < n ? null : got[n - 1];
            if (m == null) {
                throw new MessagingException("The MAPI folder gave no message " + n + " of " + count);
            }
            cache[n - 1] = new WeakReference<>(m);
            releasers.put(new PhantomReference<>(m, unreachable), m.contentReleaser());
        }
    }

    /**
     * Lets go of the native content of messages nobody holds any more, so that a walk over
     * a large folder keeps only the bodies its caller keeps. Called with both locks held.
     */
    private void releaseUnreachable() {
        Reference<? extends MAPIMessage> ref;
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
