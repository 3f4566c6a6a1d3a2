package com.plimo.mail.mapi;

import java.nio.ByteBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import javax.mail.internet.ContentType;
import javax.mail.internet.MimeUtility;
import javax.mail.internet.ParseException;

/** The text of a text part's bytes. */
public final class TextDecoding {
    private TextDecoding() {
    }

    /**
     * The text of data whose MIME type is {@code contentType}: decoded with the charset the
     * type names; when it names none (or one Java does not know), as UTF-8 when the bytes are
     * UTF-8, else as ISO-8859-1, which takes any byte.
     */
    public static String decode(byte[] data, String contentType) {
        String name = charsetOf(contentType);
        if (name != null) {
            try {
                return new String(data, Charset.forName(MimeUtility.javaCharset(name)));
            } catch (IllegalArgumentException e) {
                // an unknown or illegal charset name: read as if none were named
            }
        }
        try {
            return StandardCharsets.UTF_8.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
                    .onUnmappableCharacter(CodingErrorAction.REPORT).decode(ByteBuffer.wrap(data)).toString();
        } catch (CharacterCodingException e) {
            return new String(data, StandardCharsets.ISO_8859_1);
        }
    }

    /** The charset a MIME type names, or null. */
    public static String charsetOf(String contentType) {
        if (contentType == null) {
            return null;
        }
        try {
            String name = new ContentType(contentType).getParameter("charset");
            return name == null || name.trim().isEmpty() ? null : name.trim();
        } catch (ParseException e) {
            return null;
        }
    }
}
