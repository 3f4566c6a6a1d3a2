package com.plimo.mail.mapi;

import javax.mail.MessagingException;

/**
 * Whether a native object that Java objects hold handles into still exists: a store, a
 * folder or a message's content.
 *
 * <p>The native library makes one for each store, folder and content it hands out (a
 * folder's under its store's, a content's under its folder's) and ends it when it deletes
 * the native object, whatever deletes it: {@link MAPINative#closeStore},
 * {@link MAPINative#closeFolder}, or {@link MAPINative#setMessageDeleteFlag} for a
 * content. {@link MAPIMessage}, {@link MAPIMultipart} and {@link MAPIBodyPart} check
 * theirs before every native call, so that a handle whose owner is gone raises a
 * {@link MessagingException} instead of reaching freed memory.
 */
final class NativeLifetime {

    private final NativeLifetime parent;
    private final String endText;
    private volatile boolean ended;

    /**
     * @param parent the lifetime of the owner, or null
     * @param endText what the objects that depend on this one say once it has ended
     */
    NativeLifetime(NativeLifetime parent, String endText) {
        this.parent = parent;
        this.endText = endText;
    }

    /** Called by the native library as it deletes the native object. */
    void end() {
        ended = true;
    }

    /**
     * The text of the outermost ended lifetime from the top owner down to this one (the
     * closed store rather than the contents it took along), or null while all are alive.
     */
    String endedText() {
        String outer = parent == null ? null : parent.endedText();
        if (outer != null) {
            return outer;
        }
        return ended ? endText : null;
    }

    /** Throws the ended lifetime's text; returns while the native object exists. */
    void check() throws MessagingException {
        String text = endedText();
        if (text != null) {
            throw new MessagingException(text);
        }
    }
}
