package com.plimo.mail.mapi;

import java.util.Date;

/**
 * Converts the automation dates that the native side reports (OLE Automation {@code DATE}
 * values: days since 1899-12-30 00:00, the fraction being the time of day, in UTC since
 * MAPI keeps its times in UTC) to {@link Date} and back.
 */
final class AutomationDate {

    private static final long MILLIS_PER_DAY = 86_400_000L;

    /** Days from 1899-12-30 to 1970-01-01. */
    private static final long EPOCH_OFFSET_DAYS = 25_569L;

    private AutomationDate() {
    }

    /**
     * The instant that an automation date names, rounded to the millisecond; null for 0.0
     * (the native side's answer for "no such time") and for values that are not finite.
     */
    static Date toDate(double value) {
        if (value == 0.0 || Double.isNaN(value) || Double.isInfinite(value)) {
            return null;
        }
        return new Date(toEpochMillis(value));
    }

    static long toEpochMillis(double value) {
        // Before the base date the whole days count backwards but the fraction is still
        // the time of day: -1.25 is 1899-12-29 06:00, i.e. -0.75 days on a straight line.
        double days = value;
        if (value < 0) {
            double whole = Math.ceil(value);
            days = whole + (whole - value);
        }
        return Math.round(days * MILLIS_PER_DAY) - EPOCH_OFFSET_DAYS * MILLIS_PER_DAY;
    }

    /** The automation date of an instant; the inverse of {@link #toDate} to the millisecond. */
    static double fromDate(Date date) {
        double days = (date.getTime() + EPOCH_OFFSET_DAYS * MILLIS_PER_DAY) / (double) MILLIS_PER_DAY;
        if (days < 0) {
            // back to "whole days, then the time of day": -0.75 on the line is -1.25
            double whole = Math.floor(days);
            return whole - (days - whole);
        }
        return days;
    }
}
