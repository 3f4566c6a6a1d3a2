package com.plimo.mail.mapi;

import javax.mail.Folder;
import javax.mail.MessagingException;

/**
 * Whether a native object that Java objects hold handles into still exists, as the Java
 * code that closes it knows: a store or a folder of the provider.
 *
 * <p>The native library refuses the handle of an object it deleted by itself. But once it
 * gives the address to a new object of the same kind, an old handle reaches that object:
 * a message of a folder that was closed and opened again (an expunge) could read, or mark
 * for deletion, another message. So the provider's store and folder each hold one, under
 * which the messages they hand out live: they end it as they close the native object, and
 * {@link MAPIMessage}, {@link MAPIMultipart} and {@link MAPIBodyPart} check it before every
 * native call. The natives neither make nor need it.
 */
public final class NativeLifetime {

    /** A folder whose messages live under a lifetime of its own. */
    public interface Owner {
        /** The lifetime of the native folder now open; null when there is none. */
        NativeLifetime nativeLifetime();
    }

    private final NativeLifetime parent;
    private final String endText;
    private volatile boolean ended;

    /**
     * @param parent the lifetime of the owner, or null
     * @param endText what the objects that depend on this one say once it has ended
     */
    public NativeLifetime(NativeLifetime parent, String endText) {
        this.parent = parent;
        this.endText = endText;
    }

    /** The lifetime a folder gives the messages it hands out; null for any other folder. */
    static NativeLifetime of(Folder folder) {
        return folder instanceof Owner ? ((Owner) folder).nativeLifetime() : null;
    }

    /** Called as the native object is deleted. */
    public void end() {
        ended = true;
    }

    /**
     * The text of the outermost ended lifetime from the top owner down to this one (the
     * closed store rather than the folders it took along), or null while all are alive.
     */
    public String endedText() {
        String outer = parent == null ? null : parent.endedText();
        if (outer != null) {
            return outer;
        }
        return ended ? endText : null;
    }

    /** Throws the ended lifetime's text; returns while the native object exists. */
    public void check() throws MessagingException {
        String text = endedText();
        if (text != null) {
            throw new MessagingException(text);
        }
    }
}
